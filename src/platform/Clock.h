#pragma once

// The local wall clock of the machine.

namespace platform {

// A moment in the machine's local time, as calendar fields.
struct LocalTime {
  int year = 0;
  int month = 0;   // 1..12
  int day = 0;     // 1..31
  int hour = 0;    // 0..23
  int minute = 0;  // 0..59
  int second = 0;  // 0..59
  int millisecond = 0;
};

// The current local time with millisecond resolution. Thread-safe; never raises.
LocalTime CurrentLocalTime();

}  // namespace platform
