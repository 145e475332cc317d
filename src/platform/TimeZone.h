#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// The machine's time-zone rules in the form the statistics server expects:
// biases in minutes with UTC = local time + bias, and the two yearly
// transitions as "the w-th weekday d of month m at h:mm" (week 5 = the last).

namespace platform {

// One yearly transition. Month 0: the zone has no such transition. Year 0:
// recurring rule (week and dayOfWeek apply); otherwise a date of that year only
// (day applies; the zone data names a fixed day instead of a weekday rule).
struct TimeZoneDate {
  int year = 0;
  int month = 0;      // 1..12, 0 = none
  int dayOfWeek = 0;  // 0 = Sunday
  int day = 0;        // week of month 1..5 when year is 0, else day of month
  int hour = 0;       // local time, in the period that ends at this transition
  int minute = 0;
  int second = 0;
  bool operator==(const TimeZoneDate&) const = default;
};

struct TimeZoneRules {
  int32_t bias = 0;              // minutes, UTC = local + bias in standard time
  std::string standardName;      // UTF-8, such as "EST"
  TimeZoneDate standardDate;     // when standard time begins
  int32_t standardBias = 0;      // added to bias in standard time (always 0)
  std::string daylightName;      // the standard name when there is no daylight time
  TimeZoneDate daylightDate;     // when daylight time begins
  int32_t daylightBias = 0;      // added to bias in daylight time, such as -60
  bool operator==(const TimeZoneRules&) const = default;
};

// Which period an instant lies in. Unknown: the zone has no daylight time.
enum class TimeZonePeriod : uint32_t { Unknown = 0, Standard = 1, Daylight = 2 };

struct TimeZoneState {
  TimeZonePeriod period = TimeZonePeriod::Unknown;
  TimeZoneRules rules;
};

// A source of time-zone rules. Implementations are immutable after
// construction and thread-safe.
class TimeZoneSource {
 public:
  TimeZoneSource() = default;
  virtual ~TimeZoneSource() = default;
  TimeZoneSource(const TimeZoneSource&) = delete;
  TimeZoneSource& operator=(const TimeZoneSource&) = delete;

  // The rules of the zone and the period in force at the given instant
  // (seconds since 1970-01-01 00:00 UTC); nullopt when the zone's data cannot
  // be read or understood. Never raises.
  virtual std::optional<TimeZoneState> QueryAt(int64_t utcSeconds) const = 0;
  // QueryAt the current instant.
  std::optional<TimeZoneState> Query() const;
};

// The zone the machine's local time follows: the TZ environment variable when
// it is set, otherwise the system's zone setting.
std::unique_ptr<TimeZoneSource> NewSystemTimeZone();

// A zone given as a TZ value: a zone name ("Europe/Berlin", ":Europe/Berlin"),
// a path to zone data, or a POSIX rule ("EST5EDT,M3.2.0,M11.1.0"). On Windows:
// the name of a zone of the system's list ("W. Europe Standard Time"); the
// system's zone there is its own setting, never TZ.
std::unique_ptr<TimeZoneSource> NewTimeZone(const std::string& tz);

}  // namespace platform
