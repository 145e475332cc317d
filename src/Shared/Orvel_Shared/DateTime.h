#pragma once

#include <cstdint>
#include <string>

// The program's date-time: days since 1899-12-30 00:00 in local time, the
// fraction being the time of day. 0 means "not set". Values are wall-clock
// values with no time zone attached; every conversion here is exact to the
// millisecond and never shifts by a zone.
using TDateTime = double;

constexpr double kSecondsPerDay = 86400.0;
constexpr double kMillisecondsPerDay = 86400000.0;
constexpr TDateTime kOneSecond = 1.0 / kSecondsPerDay;

// The representable range: 0001-01-01 00:00 up to, but not including,
// 10000-01-01 00:00 (a negative day carries its time of day forward, so the
// first day's values lie between -693594 and -693593).
constexpr TDateTime kMinDateTime = -693594.0;
constexpr TDateTime kMaxDateTime = 2958466.0;

// True for a finite value strictly inside (kMinDateTime, kMaxDateTime).
bool IsValidDateTime(TDateTime value);

// Calendar fields of a date-time.
struct TDateTimeFields {
  int year = 1899;
  int month = 12;
  int day = 30;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  bool operator==(const TDateTimeFields&) const = default;
};

// The current local time, to the millisecond.
TDateTime DateTimeNow();

// The day of a value: the value with its fraction removed (midnight that day).
TDateTime DateOf(TDateTime value);

// The value cut to whole seconds: day count times 86400, truncated, divided by 86400.
TDateTime TruncToSeconds(TDateTime value);

// Builds a date-time from calendar fields. Raises EConvertError for a field out
// of range (month 13, day 31 of April, hour 24...).
TDateTime EncodeDateTime(int year, int month, int day, int hour = 0, int minute = 0,
                         int second = 0, int millisecond = 0);
TDateTime EncodeDateTime(const TDateTimeFields& fields);

// Splits a date-time into calendar fields, rounding to the nearest millisecond.
// Raises ERangeError for a value that is not IsValidDateTime.
TDateTimeFields DecodeDateTime(TDateTime value);

// Whole milliseconds since 1899-12-30 00:00, rounded; the exact integer form of
// a value, for storage and comparison. Raises ERangeError for a value that is
// not IsValidDateTime.
int64_t DateTimeToMilliseconds(TDateTime value);
TDateTime MillisecondsToDateTime(int64_t milliseconds);

// The text of a value in log messages: the short date and the long time of the
// regional settings (en-US: "3/7/2024 2:05:09 PM"); at exactly midnight the
// time is left out ("3/7/2024"). A value outside the range reads
// "invalid date-time " and its number; never raises.
std::string DateTimeToText(TDateTime value);

// "YYYYMMDD" of the value's day, as used in log file names.
std::string DateToYYYYMMDD(TDateTime value);
