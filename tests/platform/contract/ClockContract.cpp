#include "platform/contract/ClockContract.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <thread>

namespace contract {

std::string ClockBackendName(const ::testing::TestParamInfo<ClockBackend>& info) { return info.param.name; }

namespace {

// Milliseconds since 1 January 1970 of the calendar fields, taken as they
// stand (no time zone): only differences between readings matter.
std::int64_t Milliseconds(const platform::LocalTime& t) {
  // Days from the civil date (H. Hinnant's algorithm).
  const int year = t.month <= 2 ? t.year - 1 : t.year;
  const int era = (year >= 0 ? year : year - 399) / 400;
  const int yearOfEra = year - era * 400;
  const int dayOfYear = (153 * (t.month + (t.month > 2 ? -3 : 9)) + 2) / 5 + t.day - 1;
  const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  const std::int64_t days = static_cast<std::int64_t>(era) * 146097 + dayOfEra - 719468;
  return ((days * 24 + t.hour) * 60 + t.minute) * 60000 + t.second * 1000 + t.millisecond;
}

std::string Text(const platform::LocalTime& t) {
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.year, t.month, t.day, t.hour, t.minute,
                t.second, t.millisecond);
  return text;
}

TEST_P(ClockContract, EveryFieldIsInItsRange) {
  for (int i = 0; i < 50; ++i) {
    const platform::LocalTime now = platform::CurrentLocalTime();
    SCOPED_TRACE(Text(now));
    EXPECT_GE(now.year, 2000);
    EXPECT_LE(now.year, 9999);
    EXPECT_TRUE(now.month >= 1 && now.month <= 12);
    EXPECT_TRUE(now.day >= 1 && now.day <= 31);
    EXPECT_TRUE(now.hour >= 0 && now.hour <= 23);
    EXPECT_TRUE(now.minute >= 0 && now.minute <= 59);
    EXPECT_TRUE(now.second >= 0 && now.second <= 59);
    EXPECT_TRUE(now.millisecond >= 0 && now.millisecond <= 999);
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
  }
}

TEST_P(ClockContract, ShowsTheMachinesLocalTime) {
  // The reference has whole seconds and may tick on a coarser clock: a second
  // of slack on either side.
  const platform::LocalTime before = GetParam().reference();
  const platform::LocalTime now = platform::CurrentLocalTime();
  const platform::LocalTime after = GetParam().reference();
  EXPECT_GE(Milliseconds(now), Milliseconds(before) - 1000) << Text(now) << " before " << Text(before);
  EXPECT_LT(Milliseconds(now), Milliseconds(after) + 2000) << Text(now) << " after " << Text(after);
}

TEST_P(ClockContract, ReadingsAdvanceWithMillisecondResolution) {
  const platform::LocalTime first = platform::CurrentLocalTime();
  std::this_thread::sleep_for(std::chrono::milliseconds(120));
  const platform::LocalTime second = platform::CurrentLocalTime();
  const std::int64_t elapsed = Milliseconds(second) - Milliseconds(first);
  EXPECT_GE(elapsed, 110) << Text(first) << " then " << Text(second);
  EXPECT_LT(elapsed, 5000) << Text(first) << " then " << Text(second);
  // Not whole seconds only: some of a series of readings has milliseconds.
  bool fraction = first.millisecond != 0 || second.millisecond != 0;
  for (int i = 0; i < 20 && !fraction; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(7));
    fraction = platform::CurrentLocalTime().millisecond != 0;
  }
  EXPECT_TRUE(fraction);
}

}  // namespace

}  // namespace contract
