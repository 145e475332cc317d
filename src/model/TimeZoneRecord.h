#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "model/SystemTime.h"

// The rules of the machine's time zone, as the time-zone query of the platform
// gives them. Biases are minutes: UTC = local time + Bias (+ StandardBias or
// DaylightBias while that period is in force). Names are UTF-16, NUL-padded.
struct TTimeZoneInformation {
  int32_t Bias = 0;
  std::array<char16_t, 32> StandardName{};
  TSystemTime StandardDate;
  int32_t StandardBias = 0;
  std::array<char16_t, 32> DaylightName{};
  TSystemTime DaylightDate;
  int32_t DaylightBias = 0;
};

// The result of the time-zone query and the rules it returned.
struct TTimeZoneRecord {
  static constexpr uint32_t kTimeZoneIdUnknown = 0;
  static constexpr uint32_t kTimeZoneIdStandard = 1;
  static constexpr uint32_t kTimeZoneIdDaylight = 2;
  static constexpr uint32_t kTimeZoneIdInvalid = 0xFFFFFFFF;  // the query failed

  uint32_t Mode = kTimeZoneIdInvalid;
  TTimeZoneInformation Info;
};

// UTF-8 text of a NUL-padded UTF-16 name, up to its first NUL (all 32 units
// when there is none). An unpaired surrogate becomes U+FFFD.
std::string TimeZoneNameText(const std::array<char16_t, 32>& name);
// The NUL-padded UTF-16 form of UTF-8 text, cut after 31 units so that a NUL
// always ends it; a cut never splits a surrogate pair. Invalid UTF-8 bytes
// become U+FFFD.
std::array<char16_t, 32> TimeZoneNameFromText(const std::string& text);
