#include "Shared/Orvel_Shared/DateTime.h"

#include <cmath>
#include <cstdio>

#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "platform/Clock.h"

namespace {

constexpr int64_t kMsPerDay = 86400000;

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

const int64_t kEpochOffset = DaysFromCivil(1899, 12, 30);

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

}  // namespace

bool IsValidDateTime(TDateTime value) {
  // NaN fails both comparisons.
  return value > kMinDateTime && value < kMaxDateTime;
}

TDateTime DateTimeNow() {
  const platform::LocalTime now = platform::CurrentLocalTime();
  return EncodeDateTime(now.year, now.month, now.day, now.hour, now.minute, now.second,
                        now.millisecond);
}

TDateTime DateOf(TDateTime value) { return std::trunc(value); }

TDateTime TruncToSeconds(TDateTime value) {
  return std::trunc(value * kSecondsPerDay) / kSecondsPerDay;
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                         int millisecond) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month) || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
      second < 0 || second > 59 || millisecond < 0 || millisecond > 999) {
    throw EConvertError("Invalid argument to date encode");
  }
  const int64_t days = DaysFromCivil(year, month, day) - kEpochOffset;
  const int64_t ms = ((hour * 60 + minute) * 60 + second) * 1000LL + millisecond;
  // A time of day is added to the day count: before 1899-12-30 the day is
  // negative and the fraction still counts forward from its midnight.
  const double fraction = static_cast<double>(ms) / kMillisecondsPerDay;
  return days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
}

TDateTime EncodeDateTime(const TDateTimeFields& f) {
  return EncodeDateTime(f.year, f.month, f.day, f.hour, f.minute, f.second, f.millisecond);
}

int64_t DateTimeToMilliseconds(TDateTime value) {
  // Day and time of day are rounded separately, as the day count and the
  // fraction are separate quantities (negative days carry a positive time).
  // The range check keeps the conversion to an integer defined.
  if (!IsValidDateTime(value)) throw ERangeError();
  const double dayPart = std::trunc(value);
  int64_t days = static_cast<int64_t>(dayPart);
  int64_t ms = std::llround(std::fabs(value - dayPart) * kMillisecondsPerDay);
  if (ms >= kMsPerDay) {
    ms -= kMsPerDay;
    days += value < 0 ? -1 : 1;
  }
  return days >= 0 ? days * kMsPerDay + ms : days * kMsPerDay - ms;
}

TDateTime MillisecondsToDateTime(int64_t milliseconds) {
  const int64_t days = milliseconds / kMsPerDay;
  const int64_t ms = milliseconds % kMsPerDay;
  return static_cast<double>(days) + static_cast<double>(ms) / kMillisecondsPerDay;
}

TDateTimeFields DecodeDateTime(TDateTime value) {
  const int64_t total = DateTimeToMilliseconds(value);
  int64_t days = total / kMsPerDay;
  int64_t ms = total % kMsPerDay;
  if (ms < 0) ms = -ms;
  TDateTimeFields f;
  CivilFromDays(days + kEpochOffset, f.year, f.month, f.day);
  f.millisecond = static_cast<int>(ms % 1000);
  ms /= 1000;
  f.second = static_cast<int>(ms % 60);
  ms /= 60;
  f.minute = static_cast<int>(ms % 60);
  f.hour = static_cast<int>(ms / 60);
  return f;
}

std::string DateTimeToText(TDateTime value) {
  if (!IsValidDateTime(value)) {
    char number[64];
    std::snprintf(number, sizeof number, "%.17g", value);
    return std::string("invalid date-time ") + number;
  }
  const TDateTimeFields f = DecodeDateTime(value);
  char buffer[64];
  if (f.hour == 0 && f.minute == 0 && f.second == 0 && f.millisecond == 0) {
    std::snprintf(buffer, sizeof buffer, "%d/%d/%d", f.month, f.day, f.year);
  } else {
    const int hour12 = f.hour % 12 == 0 ? 12 : f.hour % 12;
    std::snprintf(buffer, sizeof buffer, "%d/%d/%d %d:%02d:%02d %s", f.month, f.day, f.year, hour12,
                  f.minute, f.second, f.hour < 12 ? "AM" : "PM");
  }
  return buffer;
}

std::string DateToYYYYMMDD(TDateTime value) {
  const TDateTimeFields f = DecodeDateTime(value);
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%04d%02d%02d", f.year, f.month, f.day);
  return buffer;
}
