#include "model/LaborRecord.h"

#include <gtest/gtest.h>

#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "model/Base64Encoder.h"
#include "model/Bytes.h"
#include "support/MemoryRow.h"

namespace {

TMemoryRow PunchRow(int64_t employee, double punchDate, int64_t department = 4) {
  return TMemoryRow{{"Employee", employee},       {"PunchDate", punchDate},
                    {"Department", department},   {"InTime", int64_t{480}},
                    {"ActualIn", int64_t{28800}}, {"OutTime", int64_t{1020}},
                    {"ActualOut", int64_t{61200}}, {"Rate", 12.5},
                    {"Multiplier", 1.0}};
}

TEST(LaborRecordTest, WorkedPunchImage) {
  TLaborRecord record;
  record.AddRowFromLaborQuery(PunchRow(7, 45000.0));
  ASSERT_EQ(record.Punches.size(), 1u);
  const auto image = TLaborRecord::PunchImage(record.Punches[0]);
  EXPECT_EQ(HexBytes(image),
            "00 00 00 00 00 f9 e5 40 04 00 00 00 e0 01 80 70 00 00 fc 03 10 ef 00 00 "
            "00 00 00 00 00 00 29 40 00 00 00 00 00 00 f0 3f");
  const std::string text = TBase64Encoder().Encode(image);
  EXPECT_EQ(text.size(), 56u);
  EXPECT_TRUE(text.ends_with("=="));
  EXPECT_EQ(record.JSONEncoded(),
            R"({"Employee":"7","WeekStart":"45000","WeekEnd":"45000","Punches":[")" + text + "\"]}");
}

TEST(LaborRecordTest, NegativeValuesAreLittleEndianTwosComplement) {
  TPunchRecord punch;
  punch.Role = -2;
  punch.InTime = -1;
  punch.ActualInTime = -3;
  punch.OutTime = -32768;
  punch.ActualOutTime = 0x01020304;
  punch.Rate = -0.0;
  EXPECT_EQ(HexBytes(TLaborRecord::PunchImage(punch)),
            "00 00 00 00 00 00 00 00 fe ff ff ff ff ff fd ff ff ff 00 80 04 03 02 01 "
            "00 00 00 00 00 00 00 80 00 00 00 00 00 00 00 00");
}

TEST(LaborRecordTest, DaysComeFromStartDayColumnsOrTheFirstPunch) {
  TLaborRecord withRange;
  TMemoryRow row = PunchRow(7, 45002.0);
  row.Set("StartDay", 45000.75).Set("EndDay", 45006.0);
  withRange.AddRowFromLaborQuery(row);
  EXPECT_EQ(withRange.StartDay, 45000.75);
  EXPECT_EQ(withRange.EndDay, 45006.0);
  // Truncated, not rounded.
  EXPECT_EQ(JSONWrite(*JSONGet(withRange.AsJSON(TBase64Encoder()), "WeekStart")), R"("45000")");

  TLaborRecord fromPunch;
  fromPunch.AddRowFromLaborQuery(PunchRow(8, EncodeDateTime(2023, 3, 15)));
  const TJSONValue doc = fromPunch.AsJSON(TBase64Encoder());
  EXPECT_EQ(AsString(*JSONGet(doc, "WeekStart")), "45000");
  EXPECT_EQ(AsString(*JSONGet(doc, "WeekEnd")), "45000");
}

TEST(LaborRecordTest, LaterRowsAddPunchesInRowOrderAndKeepTheHeader) {
  TLaborRecord record;
  record.AddRowFromLaborQuery(PunchRow(7, 45000.0, 4));
  record.AddRowFromLaborQuery(PunchRow(9, 45001.0, 5));  // a new employee is the caller's business
  record.AddRowFromLaborQuery(PunchRow(9, 45001.0, 5));
  EXPECT_EQ(record.Employee, 7);
  EXPECT_EQ(record.StartDay, 45000.0);
  EXPECT_EQ(record.EndDay, 45000.0);
  ASSERT_EQ(record.Punches.size(), 3u);
  EXPECT_EQ(record.Punches[0].Role, 4);
  EXPECT_EQ(record.Punches[1].Role, 5);
  EXPECT_EQ(record.Punches[2].PunchDate, 45001.0);

  const TBase64Encoder encoder;
  const TJSONValue doc = record.AsJSON(encoder);
  const TJSONValue& punches = *JSONGet(doc, "Punches");
  ASSERT_EQ(punches.size(), 3u);
  EXPECT_EQ(punches[1], punches[2]);  // same times, both kept
  for (size_t i = 0; i < 3; ++i) {
    const auto image = TLaborRecord::PunchImage(record.Punches[i]);
    EXPECT_EQ(punches[i], TJSONValue(encoder.Encode(image)));
  }
  EXPECT_EQ(JSONParse(record.JSONEncoded()), doc);
}

TEST(LaborRecordTest, DayWithoutPunchesHasNoPunchesMember) {
  TLaborRecord record;
  record.AddRowFromLaborQuery(PunchRow(12, 45000.0).Set("Department", TMemoryRow::Null{}));
  EXPECT_EQ(record.Employee, 12);
  EXPECT_TRUE(record.Punches.empty());
  EXPECT_EQ(record.JSONEncoded(), R"({"Employee":"12","WeekStart":"45000","WeekEnd":"45000"})");
}

TEST(LaborRecordTest, NullPunchColumnsReadAsZero) {
  TLaborRecord record;
  TMemoryRow row = PunchRow(7, 45000.0);
  for (const char* name : {"InTime", "ActualIn", "OutTime", "ActualOut", "Rate", "Multiplier"}) {
    row.Set(name, TMemoryRow::Null{});
  }
  record.AddRowFromLaborQuery(row);
  ASSERT_EQ(record.Punches.size(), 1u);
  const auto image = TLaborRecord::PunchImage(record.Punches[0]);
  EXPECT_EQ(HexBytes(std::span(image).subspan(12)),
            "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
}

TEST(LaborRecordTest, TimesOutsideSixteenBitsRaiseWithThePunchHalfFilled) {
  struct Case {
    const char* column;
    int64_t value;
    bool raises;
  };
  const Case cases[] = {
      {"InTime", 32767, false},  {"InTime", 32768, true},  {"OutTime", -32768, false},
      {"OutTime", -32769, true}, {"ActualIn", 4294967296, true},
  };
  for (const Case& c : cases) {
    TLaborRecord record;
    TMemoryRow row = PunchRow(7, 45000.0);
    row.Set(c.column, c.value);
    if (!c.raises) {
      EXPECT_NO_THROW(record.AddRowFromLaborQuery(row)) << c.column << " " << c.value;
      continue;
    }
    EXPECT_THROW(record.AddRowFromLaborQuery(row), ERangeError) << c.column << " " << c.value;
    ASSERT_EQ(record.Punches.size(), 1u);
    EXPECT_EQ(record.Punches[0].PunchDate, 45000.0);
    EXPECT_EQ(record.Punches[0].Role, 4);
    EXPECT_EQ(record.Punches[0].Rate, 0.0);
  }
}

TEST(LaborRecordTest, MissingColumnsPropagateTheRowsError) {
  TLaborRecord record;
  EXPECT_THROW(record.AddRowFromLaborQuery(PunchRow(7, 45000.0).Remove("Multiplier")),
               EDatabaseError);
  TLaborRecord other;
  EXPECT_THROW(other.AddRowFromLaborQuery(PunchRow(7, 45000.0).Remove("Department")),
               EDatabaseError);
}

}  // namespace
