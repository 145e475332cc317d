#include "platform/TimeZone.h"

#include <gtest/gtest.h>

#include <time.h>

#include <chrono>
#include <algorithm>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

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

// A transition on a date of one year only.
TimeZoneDate Fixed(int year, int month, int day, int weekday, int hour, int minute = 0) {
  TimeZoneDate d;
  d.year = year;
  d.month = month;
  d.day = day;
  d.dayOfWeek = weekday;
  d.hour = hour;
  d.minute = minute;
  return d;
}

TEST(TimeZoneTest, RuleTimesOutsideTheDayAndTransitionTablesGiveTheLocalMomentsOfTheYear) {
  // The 2026 transitions, as zdump shows them, in the local time that ends.
  // Jerusalem: Thursday 26:00 is Friday March 27 02:00 (the 4th Friday).
  const TimeZoneRules jerusalem =
      Rules(-120, "IST", Recurring(10, 5, 0, 2), "IDT", Recurring(3, 4, 5, 2), -60);
  // Nuuk: the last Sunday of March at -1:00 is Saturday March 28 23:00, the last Saturday.
  const TimeZoneRules nuuk = Rules(120, "-02", Recurring(10, 5, 0, 0), "-01", Recurring(3, 5, 6, 23), -60);
  // Cairo: the last Thursday of October at 24:00 is Friday October 30 00:00, the last Friday.
  const TimeZoneRules cairo = Rules(-120, "EET", Recurring(10, 5, 5, 0), "EEST", Recurring(4, 5, 5, 0), -60);
  // Santiago: the first Saturday at 24:00 is Sunday April 5 and Sunday September 6.
  const TimeZoneRules santiago = Rules(240, "-04", Recurring(4, 1, 0, 0), "-03", Recurring(9, 1, 0, 0), -60);
  // Casablanca: +01 all year by its rule, +00 for Ramadan by its table:
  // February 15 03:00 to March 22 02:00.
  const TimeZoneRules casablanca =
      Rules(0, "+00", Fixed(2026, 2, 15, 0, 3), "+01", Fixed(2026, 3, 22, 0, 2), -60);

  struct Case {
    const char* tz;
    int64_t instant;
    TimeZonePeriod period;
    TimeZoneRules rules;
  };
  const Case cases[] = {
      {"Asia/Jerusalem", Utc(2026, 1, 15), TimeZonePeriod::Standard, jerusalem},
      // 2026-03-27 02:00 IST is 00:00 UTC.
      {"Asia/Jerusalem", Utc(2026, 3, 26, 23, 59, 59), TimeZonePeriod::Standard, jerusalem},
      {"Asia/Jerusalem", Utc(2026, 3, 27), TimeZonePeriod::Daylight, jerusalem},
      {"America/Nuuk", Utc(2026, 7, 1), TimeZonePeriod::Daylight, nuuk},
      // 2026-03-28 23:00 -02 is 2026-03-29 01:00 UTC.
      {"America/Nuuk", Utc(2026, 3, 29, 0, 59, 59), TimeZonePeriod::Standard, nuuk},
      {"America/Nuuk", Utc(2026, 3, 29, 1), TimeZonePeriod::Daylight, nuuk},
      {"America/Godthab", Utc(2026, 7, 1), TimeZonePeriod::Daylight, nuuk},
      {"Africa/Cairo", Utc(2026, 7, 1), TimeZonePeriod::Daylight, cairo},
      {"Africa/Cairo", Utc(2026, 10, 29, 21), TimeZonePeriod::Standard, cairo},
      {"America/Santiago", Utc(2026, 1, 15), TimeZonePeriod::Daylight, santiago},
      {"America/Santiago", Utc(2026, 7, 15), TimeZonePeriod::Standard, santiago},
      {"Africa/Casablanca", Utc(2026, 1, 15), TimeZonePeriod::Daylight, casablanca},
      {"Africa/Casablanca", Utc(2026, 3, 1), TimeZonePeriod::Standard, casablanca},
      {"Africa/Casablanca", Utc(2026, 3, 22, 2), TimeZonePeriod::Daylight, casablanca},
      {"Africa/Casablanca", Utc(2026, 7, 1), TimeZonePeriod::Daylight, casablanca},
      // The same rule texts without a zone file.
      {"IST-2IDT,M3.4.4/26,M10.5.0", Utc(2026, 7, 1), TimeZonePeriod::Daylight, jerusalem},
      {"<-02>2<-01>,M3.5.0/-1,M10.5.0/0", Utc(2026, 7, 1), TimeZonePeriod::Daylight, nuuk},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.tz) + " at " + std::to_string(c.instant));
    const auto state = NewTimeZone(c.tz)->QueryAt(c.instant);
    ASSERT_TRUE(state.has_value());
    EXPECT_EQ(state->period, c.period);
    EXPECT_EQ(state->rules, c.rules);
  }
}

// --- Cross-check with the C library over whole years ------------------------

struct LocalMoment {
  int year, month, day, hour, minute, second;
  bool operator==(const LocalMoment&) const = default;
};

std::ostream& operator<<(std::ostream& out, const LocalMoment& m) {
  return out << m.year << "-" << m.month << "-" << m.day << " " << m.hour << ":" << m.minute << ":" << m.second;
}

LocalMoment MomentOf(int64_t localSeconds) {
  namespace c = std::chrono;
  const c::sys_seconds at{c::seconds{localSeconds}};
  const c::sys_days days = c::floor<c::days>(at);
  const c::year_month_day date{days};
  const c::hh_mm_ss time{at - days};
  return {static_cast<int>(date.year()), static_cast<int>(static_cast<unsigned>(date.month())),
          static_cast<int>(static_cast<unsigned>(date.day())), static_cast<int>(time.hours().count()),
          static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count())};
}

// Where a transition of the Windows form falls in the given year.
LocalMoment MomentIn(const TimeZoneDate& d, int year) {
  if (d.year != 0) return {d.year, d.month, d.day, d.hour, d.minute, d.second};
  namespace c = std::chrono;
  const c::weekday weekday{static_cast<unsigned>(d.dayOfWeek)};
  const c::year_month ym = c::year{year} / c::month{static_cast<unsigned>(d.month)};
  const c::sys_days date = d.day == 5 ? c::sys_days{ym / weekday[c::last]}
                                      : c::sys_days{ym / weekday[static_cast<unsigned>(d.day)]};
  return MomentOf(date.time_since_epoch().count() * 86400LL + d.hour * 3600 + d.minute * 60 + d.second);
}

struct Change {
  int64_t utc;
  long fromOffset, toOffset;  // seconds east of UTC
};

// The offset changes the C library sees in [begin, end) for the zone TZ names.
std::vector<Change> LibraryChanges(int64_t begin, int64_t end) {
  const auto offsetAt = [](int64_t utc) {
    const time_t t = static_cast<time_t>(utc);
    tm local{};
    localtime_r(&t, &local);
    return local.tm_gmtoff;
  };
  std::vector<Change> changes;
  long previous = offsetAt(begin);
  for (int64_t at = begin + 3600; at < end + 3600; at += 3600) {
    const long now = offsetAt(at);
    if (now == previous) continue;
    int64_t low = at - 3600, high = at;
    while (high - low > 1) {
      const int64_t middle = low + (high - low) / 2;
      (offsetAt(middle) == previous ? low : high) = middle;
    }
    if (high < end) changes.push_back({high, previous, now});
    previous = now;
  }
  return changes;
}

TEST(TimeZoneTest, TransitionsAgreeWithTheCLibraryForEveryZoneAndYear) {
  const char* zones[] = {"America/New_York",  "Europe/Berlin",    "Australia/Sydney", "Europe/Dublin",
                         "Asia/Kolkata",      "UTC",              "Asia/Jerusalem",   "America/Santiago",
                         "Africa/Cairo",      "Asia/Gaza",        "America/Nuuk",     "Africa/Casablanca",
                         "Pacific/Auckland",  "Europe/Lisbon",    "America/Asuncion", "Asia/Tehran",
                         "Pacific/Chatham",   "Australia/Lord_Howe"};
  const int thisYear = static_cast<int>(
      std::chrono::year_month_day{std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now())}.year());
  int checked = 0;
  for (const char* zone : zones) {
    if (!std::filesystem::exists(std::string("/usr/share/zoneinfo/") + zone)) continue;
    ScopedEnv env("TZ", zone);
    tzset();
    const auto source = NewTimeZone(zone);
    for (int year : {2024, 2025, 2026, 2027, thisYear, thisYear + 1}) {
      SCOPED_TRACE(std::string(zone) + " " + std::to_string(year));
      const std::vector<Change> changes = LibraryChanges(Utc(year, 1, 1), Utc(year + 1, 1, 1));
      for (const int64_t instant : {Utc(year, 1, 15), Utc(year, 7, 15)}) {
        const auto state = source->QueryAt(instant);
        ASSERT_TRUE(state.has_value());
        const TimeZoneRules& rules = state->rules;
        if (changes.empty()) {
          EXPECT_EQ(rules.standardDate.month, 0);
          EXPECT_EQ(rules.daylightDate.month, 0);
          EXPECT_EQ(state->period, TimeZonePeriod::Unknown);
          continue;
        }
        long standard = changes.front().fromOffset, daylight = standard;
        for (const Change& change : changes) {
          standard = std::min({standard, change.fromOffset, change.toOffset});
          daylight = std::max({daylight, change.fromOffset, change.toOffset});
        }
        EXPECT_EQ(rules.bias, -standard / 60);
        EXPECT_EQ(rules.daylightBias, -(daylight - standard) / 60);
        for (const Change& change : changes) {
          const TimeZoneDate& date = change.toOffset == daylight ? rules.daylightDate : rules.standardDate;
          EXPECT_EQ(MomentIn(date, year), MomentOf(change.utc + change.fromOffset))
              << (change.toOffset == daylight ? "into daylight time" : "into standard time");
        }
        ++checked;
      }
    }
  }
  tzset();
  EXPECT_GT(checked, 0);
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
