#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "Shared/Orvel_Shared/DateTime.h"
#include "Shared/Orvel_Shared/OrvelExceptions.h"

namespace {

TEST(DateTimeTest, KnownDayCounts) {
  struct Case {
    int year, month, day;
    double days;
  };
  const Case cases[] = {
      {1899, 12, 30, 0},  {1899, 12, 31, 1},    {1900, 1, 1, 2},      {1899, 12, 29, -1},
      {1990, 1, 1, 32874}, {2000, 1, 1, 36526},  {2024, 2, 29, 45351}, {1800, 1, 1, -36522},
  };
  for (const Case& c : cases) EXPECT_EQ(EncodeDateTime(c.year, c.month, c.day), c.days) << c.year << "-" << c.month;
}

TEST(DateTimeTest, EncodeDecodeRoundTripsToTheMillisecond) {
  const TDateTimeFields cases[] = {
      {1899, 12, 30, 0, 0, 0, 1},     {1899, 12, 30, 23, 59, 59, 999}, {1899, 12, 29, 12, 0, 0, 1},
      {1899, 12, 29, 0, 0, 0, 0},     {1800, 1, 1, 23, 59, 59, 999},   {1, 1, 1, 0, 0, 0, 0},
      {2024, 2, 29, 14, 5, 9, 123},   {2026, 12, 9, 23, 29, 9, 500},   {9999, 12, 31, 23, 59, 59, 999},
      {1900, 2, 28, 6, 30, 0, 0},     {2000, 2, 29, 0, 0, 0, 999},
  };
  for (const TDateTimeFields& fields : cases) {
    TDateTime value = EncodeDateTime(fields);
    EXPECT_EQ(DecodeDateTime(value), fields) << fields.year << "-" << fields.month << "-" << fields.day << " "
                                             << fields.hour << ":" << fields.minute << ":" << fields.second << "."
                                             << fields.millisecond;
    EXPECT_EQ(MillisecondsToDateTime(DateTimeToMilliseconds(value)), value);
  }
}

TEST(DateTimeTest, ValuesBeforeTheEpochCountTheTimeForward) {
  // Noon of 1899-12-29 is -1.5: the day is -1, the time of day 0.5.
  EXPECT_DOUBLE_EQ(EncodeDateTime(1899, 12, 29, 12), -1.5);
  EXPECT_EQ(DateOf(-1.5), -1.0);
  EXPECT_EQ(DecodeDateTime(-1.25).hour, 6);
  EXPECT_EQ(DecodeDateTime(-1.25).day, 29);
  EXPECT_EQ(DateTimeToText(-1.5), "12/29/1899 12:00:00 PM");
}

TEST(DateTimeTest, InvalidFieldsRaise) {
  const TDateTimeFields cases[] = {
      {2024, 13, 1, 0, 0, 0, 0}, {2024, 0, 1, 0, 0, 0, 0},  {2023, 2, 29, 0, 0, 0, 0}, {2024, 4, 31, 0, 0, 0, 0},
      {2024, 1, 1, 24, 0, 0, 0}, {2024, 1, 1, 0, 60, 0, 0}, {2024, 1, 1, 0, 0, 60, 0}, {2024, 1, 1, 0, 0, 0, 1000},
      {0, 1, 1, 0, 0, 0, 0},     {1900, 2, 29, 0, 0, 0, 0},
  };
  for (const TDateTimeFields& fields : cases) EXPECT_THROW(EncodeDateTime(fields), EConvertError) << fields.year;
}

TEST(DateTimeTest, ValuesOutsideTheRangeAreRefusedNotConverted) {
  const double nan = std::nan("");
  const double inf = std::numeric_limits<double>::infinity();
  // The first and the last millisecond of the range convert.
  const TDateTime first = EncodeDateTime(1, 1, 1);
  const TDateTime last = EncodeDateTime(9999, 12, 31, 23, 59, 59, 999);
  for (const TDateTime valid : {first, last, 0.0, 45358.5}) {
    EXPECT_TRUE(IsValidDateTime(valid)) << valid;
    EXPECT_NO_THROW(DecodeDateTime(valid)) << valid;
  }
  EXPECT_EQ(DecodeDateTime(last), (TDateTimeFields{9999, 12, 31, 23, 59, 59, 999}));
  for (const TDateTime invalid : {1e300, 1e308, -1e300, 2958466.0, -693594.0, nan, inf, -inf}) {
    EXPECT_FALSE(IsValidDateTime(invalid)) << invalid;
    EXPECT_THROW(DateTimeToMilliseconds(invalid), ERangeError) << invalid;
    EXPECT_THROW(DecodeDateTime(invalid), ERangeError) << invalid;
  }
  EXPECT_EQ(DateTimeToText(1e308), "invalid date-time 1e+308");
  EXPECT_EQ(DateTimeToText(2958465), "12/31/9999");
}

TEST(DateTimeTest, TextLeavesTheTimeOutAtExactlyMidnight) {
  struct Case {
    TDateTimeFields fields;
    std::string text;
  };
  const Case cases[] = {
      {{2024, 3, 7, 0, 0, 0, 0}, "3/7/2024"},
      {{2024, 3, 7, 14, 5, 9, 0}, "3/7/2024 2:05:09 PM"},
      {{2024, 3, 7, 0, 0, 1, 0}, "3/7/2024 12:00:01 AM"},
      {{2024, 12, 25, 12, 0, 0, 0}, "12/25/2024 12:00:00 PM"},
      {{2024, 12, 25, 11, 59, 59, 0}, "12/25/2024 11:59:59 AM"},
      {{2024, 12, 25, 23, 0, 0, 0}, "12/25/2024 11:00:00 PM"},
  };
  for (const Case& c : cases) EXPECT_EQ(DateTimeToText(EncodeDateTime(c.fields)), c.text);
  EXPECT_EQ(DateToYYYYMMDD(EncodeDateTime(2024, 3, 7, 23, 59)), "20240307");
}

TEST(DateTimeTest, TruncToSecondsDropsTheMilliseconds) {
  const TDateTimeFields cases[] = {
      {2024, 3, 7, 12, 0, 0, 999}, {2024, 3, 7, 23, 59, 59, 999}, {2024, 3, 7, 0, 0, 0, 1}, {1899, 12, 29, 6, 0, 1, 500},
  };
  for (const TDateTimeFields& fields : cases) {
    TDateTimeFields expected = fields;
    expected.millisecond = 0;
    TDateTimeFields truncated = DecodeDateTime(TruncToSeconds(EncodeDateTime(fields)));
    EXPECT_EQ(truncated, expected) << fields.hour << ":" << fields.minute << ":" << fields.second;
  }
  TDateTime whole = EncodeDateTime(2024, 3, 7, 8, 9, 10);
  EXPECT_EQ(DecodeDateTime(TruncToSeconds(whole)).second, 10);
}

TEST(DateTimeTest, NowIsTodayAndDateOfIsItsMidnight) {
  TDateTime now = DateTimeNow();
  TDateTime day = DateOf(now);
  EXPECT_EQ(day, std::trunc(now));
  EXPECT_GE(now - day, 0.0);
  EXPECT_LT(now - day, 1.0);
  EXPECT_GT(now, EncodeDateTime(2020, 1, 1));
}

}  // namespace
