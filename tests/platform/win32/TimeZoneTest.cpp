// Time zones on Windows: GetTimeZoneInformationForYear for the system's zone,
// the registry's zone list for named ones.
#include "platform/TimeZone.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

constexpr int64_t kJanuary2024 = 1704110400;  // 2024-01-01 12:00 UTC
constexpr int64_t kJuly2024 = 1719835200;     // 2024-07-01 12:00 UTC

TEST(Win32TimeZoneTest, NamedZonesGiveTheirRulesAndThePeriodOfTheInstant) {
  struct Case {
    const char* zone;
    int32_t bias;
    int32_t daylightBias;
    platform::TimeZoneDate daylightDate;
    platform::TimeZonePeriod january;
    platform::TimeZonePeriod july;
  };
  const Case cases[] = {
      {"W. Europe Standard Time", -60, -60, {0, 3, 0, 5, 2, 0, 0},
       platform::TimeZonePeriod::Standard, platform::TimeZonePeriod::Daylight},
      {"Eastern Standard Time", 300, -60, {0, 3, 0, 2, 2, 0, 0},
       platform::TimeZonePeriod::Standard, platform::TimeZonePeriod::Daylight},
      {"AUS Eastern Standard Time", -600, -60, {0, 10, 0, 1, 2, 0, 0},
       platform::TimeZonePeriod::Daylight, platform::TimeZonePeriod::Standard},
      {"Tokyo Standard Time", -540, -60, {}, platform::TimeZonePeriod::Unknown, platform::TimeZonePeriod::Unknown},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.zone);
    const auto zone = platform::NewTimeZone(c.zone);
    const auto january = zone->QueryAt(kJanuary2024);
    const auto july = zone->QueryAt(kJuly2024);
    ASSERT_TRUE(january.has_value());
    ASSERT_TRUE(july.has_value());
    EXPECT_EQ(january->rules.bias, c.bias);
    EXPECT_EQ(january->rules.standardBias, 0);
    EXPECT_EQ(january->rules.daylightBias, c.daylightBias);
    EXPECT_EQ(january->rules.daylightDate, c.daylightDate);
    EXPECT_EQ(january->period, c.january);
    EXPECT_EQ(july->period, c.july);
    if (c.daylightDate.month == 0) {
      EXPECT_EQ(january->rules.daylightName, january->rules.standardName);
    }
  }
  EXPECT_EQ(platform::NewTimeZone("No Such Zone")->QueryAt(kJuly2024), std::nullopt);
}

TEST(Win32TimeZoneTest, TheSystemZoneIsTheOneWindowsReports) {
  TIME_ZONE_INFORMATION info{};
  ASSERT_NE(GetTimeZoneInformation(&info), TIME_ZONE_ID_INVALID);
  const auto state = platform::NewSystemTimeZone()->Query();
  ASSERT_TRUE(state.has_value());
  EXPECT_EQ(state->rules.bias, info.Bias);
  EXPECT_EQ(state->rules.daylightBias, info.DaylightDate.wMonth == 0 ? state->rules.daylightBias : info.DaylightBias);
}

}  // namespace
