#pragma once

#include <cstdint>

// Calendar fields of a moment as the time-zone rules and the server's
// "Timezone" object carry them. In a time-zone transition date, Year 0 means a
// recurring rule: Day is then the week of the month (1..5, 5 = last) and
// DayOfWeek the weekday (0 = Sunday).
struct TSystemTime {
  uint16_t wYear = 0;
  uint16_t wMonth = 0;
  uint16_t wDayOfWeek = 0;
  uint16_t wDay = 0;
  uint16_t wHour = 0;
  uint16_t wMinute = 0;
  uint16_t wSecond = 0;
  uint16_t wMilliseconds = 0;

  bool operator==(const TSystemTime&) const = default;
};
