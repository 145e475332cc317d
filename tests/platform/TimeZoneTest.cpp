#include "platform/TimeZone.h"

#include <gtest/gtest.h>

#include <chrono>

#include "support/ScopedEnv.h"

namespace {

using platform::NewTimeZone;
using platform::TimeZoneDate;
using platform::TimeZonePeriod;
using platform::TimeZoneRules;

int64_t Utc(int y, unsigned m, unsigned d, int hh = 0, int mm = 0, int ss = 0) {
  namespace c = std::chrono;
  const c::sys_days date{c::year{y} / c::month{m} / c::day{d}};
  return date.time_since_epoch().count() * 86400LL + hh * 3600 + mm * 60 + ss;
}

// A recurring transition: the week-th weekday of month at h:mm:ss.
TimeZoneDate Recurring(int month, int week, int weekday, int hour, int minute = 0) {
  TimeZoneDate d;
  d.month = month;
  d.day = week;
  d.dayOfWeek = weekday;
  d.hour = hour;
  d.minute = minute;
  return d;
}

TimeZoneRules Rules(int32_t bias, const char* standardName, TimeZoneDate standardDate, const char* daylightName,
                    TimeZoneDate daylightDate, int32_t daylightBias) {
  TimeZoneRules r;
  r.bias = bias;
  r.standardName = standardName;
  r.standardDate = standardDate;
  r.daylightName = daylightName;
  r.daylightDate = daylightDate;
  r.daylightBias = daylightBias;
  return r;
}

TEST(TimeZoneTest, ZonesGiveTheirRulesAndThePeriodOfTheInstant) {
  const TimeZoneRules newYork = Rules(300, "EST", Recurring(11, 1, 0, 2), "EDT", Recurring(3, 2, 0, 2), -60);
  const TimeZoneRules berlin = Rules(-60, "CET", Recurring(10, 5, 0, 3), "CEST", Recurring(3, 5, 0, 2), -60);
  const TimeZoneRules sydney =
      Rules(-600, "AEST", Recurring(4, 1, 0, 3), "AEDT", Recurring(10, 1, 0, 2), -60);
  const TimeZoneRules utc = Rules(0, "UTC", {}, "UTC", {}, 0);
  // Winter time as the exception: described with summer as daylight time.
  const TimeZoneRules dublin = Rules(0, "GMT", Recurring(10, 5, 0, 2), "IST", Recurring(3, 5, 0, 1), -60);
  const TimeZoneRules kolkata = Rules(-330, "IST", {}, "IST", {}, 0);

  struct Case {
    const char* tz;
    int64_t instant;
    TimeZonePeriod period;
    TimeZoneRules rules;
  };
  const Case cases[] = {
      {"America/New_York", Utc(2026, 1, 15, 12), TimeZonePeriod::Standard, newYork},
      {"America/New_York", Utc(2026, 7, 1), TimeZonePeriod::Daylight, newYork},
      // 2026-03-08 02:00 EST and 2026-11-01 02:00 EDT.
      {"America/New_York", Utc(2026, 3, 8, 6, 59, 59), TimeZonePeriod::Standard, newYork},
      {"America/New_York", Utc(2026, 3, 8, 7), TimeZonePeriod::Daylight, newYork},
      {"America/New_York", Utc(2026, 11, 1, 5, 59, 59), TimeZonePeriod::Daylight, newYork},
      {"America/New_York", Utc(2026, 11, 1, 6), TimeZonePeriod::Standard, newYork},
      {":America/New_York", Utc(2026, 1, 1), TimeZonePeriod::Standard, newYork},
      {"EST5EDT,M3.2.0,M11.1.0", Utc(2026, 7, 1), TimeZonePeriod::Daylight, newYork},
      {"Europe/Berlin", Utc(2026, 1, 1), TimeZonePeriod::Standard, berlin},
      // 2026-03-29 01:00 UTC.
      {"Europe/Berlin", Utc(2026, 3, 29, 0, 59, 59), TimeZonePeriod::Standard, berlin},
      {"Europe/Berlin", Utc(2026, 3, 29, 1), TimeZonePeriod::Daylight, berlin},
      {"Australia/Sydney", Utc(2026, 1, 15), TimeZonePeriod::Daylight, sydney},
      {"Australia/Sydney", Utc(2026, 7, 15), TimeZonePeriod::Standard, sydney},
      // 2026-10-04 02:00 AEST is 2026-10-03 16:00 UTC.
      {"Australia/Sydney", Utc(2026, 10, 3, 15, 59, 59), TimeZonePeriod::Standard, sydney},
      {"Australia/Sydney", Utc(2026, 10, 3, 16), TimeZonePeriod::Daylight, sydney},
      {"UTC", Utc(2026, 7, 1), TimeZonePeriod::Unknown, utc},
      {"", Utc(2026, 7, 1), TimeZonePeriod::Unknown, utc},
      {"Europe/Dublin", Utc(2026, 7, 1), TimeZonePeriod::Daylight, dublin},
      {"Europe/Dublin", Utc(2026, 1, 1), TimeZonePeriod::Standard, dublin},
      {"Asia/Kolkata", Utc(2026, 7, 1), TimeZonePeriod::Unknown, kolkata},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.tz) + " at " + std::to_string(c.instant));
    const auto state = NewTimeZone(c.tz)->QueryAt(c.instant);
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(state->period, c.period);
    EXPECT_EQ(state->rules, c.rules);
  }
}

TEST(TimeZoneTest, FixedDayRulesBecomeDatesOfTheYear) {
  // Day 60 of the year without February 29 is March 1; day 300 is October 27.
  const auto state = NewTimeZone("XST3XDT,J60/0,J300/1:30")->QueryAt(Utc(2024, 6, 1));
  ASSERT_TRUE(state.has_value());
  EXPECT_EQ(state->period, TimeZonePeriod::Daylight);
  EXPECT_EQ(state->rules.bias, 180);
  EXPECT_EQ(state->rules.daylightDate, (TimeZoneDate{2024, 3, 5, 1, 0, 0, 0}));
  EXPECT_EQ(state->rules.standardDate, (TimeZoneDate{2024, 10, 0, 27, 1, 30, 0}));
}

TEST(TimeZoneTest, UnreadableZonesGiveNothing) {
  for (const char* tz : {":No/Such_Zone", "not a zone!", "AB1", "EST5EDT,M13.1.0,M11.1.0"}) {
    SCOPED_TRACE(tz);
    EXPECT_FALSE(NewTimeZone(tz)->QueryAt(Utc(2026, 1, 1)).has_value());
  }
}

TEST(TimeZoneTest, SystemZoneFollowsTheTZVariable) {
  for (const char* tz : {"America/New_York", "Europe/Berlin", "UTC", "Australia/Sydney"}) {
    SCOPED_TRACE(tz);
    ScopedEnv env("TZ", tz);
    const auto system = platform::NewSystemTimeZone()->Query();
    const auto named = NewTimeZone(tz)->Query();
    ASSERT_TRUE(system.has_value());
    ASSERT_TRUE(named.has_value());
    EXPECT_EQ(system->rules, named->rules);
    EXPECT_EQ(system->period, named->period);
  }
}

}  // namespace
