#include "platform/TimeZone.h"

#include <ctime>

#include "platform/win32/Win32Text.h"

namespace platform {
namespace {

using win32::Narrow;
using win32::Widen;

constexpr int64_t kUnixEpochIn100ns = 116444736000000000LL;  // 1601-01-01 to 1970-01-01

TimeZoneDate DateOf(const SYSTEMTIME& time) {
  TimeZoneDate date;
  date.year = time.wYear;
  date.month = time.wMonth;
  date.dayOfWeek = time.wDayOfWeek;
  date.day = time.wDay;
  date.hour = time.wHour;
  date.minute = time.wMinute;
  date.second = time.wSecond;
  return date;
}

TimeZoneRules RulesOf(const TIME_ZONE_INFORMATION& info) {
  TimeZoneRules rules;
  rules.bias = info.Bias;
  rules.standardName = Narrow(info.StandardName);
  rules.standardDate = DateOf(info.StandardDate);
  rules.standardBias = info.StandardBias;
  rules.daylightName = Narrow(info.DaylightName);
  rules.daylightDate = DateOf(info.DaylightDate);
  rules.daylightBias = info.DaylightBias;
  if (rules.daylightName.empty() || info.DaylightDate.wMonth == 0) {
    rules.daylightName = rules.standardName;
    rules.daylightDate = TimeZoneDate{};
  }
  return rules;
}

SYSTEMTIME SystemTimeOf(int64_t utcSeconds) {
  ULARGE_INTEGER ticks;
  ticks.QuadPart = static_cast<ULONGLONG>(utcSeconds * 10000000LL + kUnixEpochIn100ns);
  FILETIME file{ticks.LowPart, ticks.HighPart};
  SYSTEMTIME time{};
  FileTimeToSystemTime(&file, &time);
  return time;
}

int64_t SecondsOf(const SYSTEMTIME& time) {
  FILETIME file{};
  SystemTimeToFileTime(&time, &file);
  ULARGE_INTEGER ticks{};
  ticks.LowPart = file.dwLowDateTime;
  ticks.HighPart = file.dwHighDateTime;
  return (static_cast<int64_t>(ticks.QuadPart) - kUnixEpochIn100ns) / 10000000LL;
}

// The state at `utcSeconds` of the zone whose rules for that year are `info`.
std::optional<TimeZoneState> StateAt(const TIME_ZONE_INFORMATION& info, int64_t utcSeconds) {
  TimeZoneState state;
  state.rules = RulesOf(info);
  if (info.DaylightDate.wMonth == 0) return state;
  const SYSTEMTIME utc = SystemTimeOf(utcSeconds);
  SYSTEMTIME local{};
  if (!SystemTimeToTzSpecificLocalTime(&info, &utc, &local)) return std::nullopt;
  const int64_t offsetMinutes = (SecondsOf(local) - utcSeconds) / 60;
  state.period = offsetMinutes == -(info.Bias + info.DaylightBias) && info.DaylightBias != info.StandardBias
                     ? TimeZonePeriod::Daylight
                     : TimeZonePeriod::Standard;
  return state;
}

class SystemZone : public TimeZoneSource {
 public:
  std::optional<TimeZoneState> QueryAt(int64_t utcSeconds) const override {
    TIME_ZONE_INFORMATION info{};
    const SYSTEMTIME utc = SystemTimeOf(utcSeconds);
    if (!GetTimeZoneInformationForYear(utc.wYear, nullptr, &info)) return std::nullopt;
    return StateAt(info, utcSeconds);
  }
};

// The layout of the "TZI" value of a zone in the registry's zone list.
struct RegistryTzi {
  LONG bias;
  LONG standardBias;
  LONG daylightBias;
  SYSTEMTIME standardDate;
  SYSTEMTIME daylightDate;
};

// A zone of the system's list, by its key name ("W. Europe Standard Time").
class NamedZone : public TimeZoneSource {
 public:
  explicit NamedZone(const std::string& name) {
    const std::wstring key = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Time Zones\\" + Widen(name);
    RegistryTzi tzi{};
    DWORD size = sizeof tzi;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"TZI", RRF_RT_REG_BINARY, nullptr, &tzi, &size) !=
            ERROR_SUCCESS ||
        size != sizeof tzi)
      return;
    TIME_ZONE_INFORMATION info{};
    info.Bias = tzi.bias;
    info.StandardBias = tzi.standardBias;
    info.DaylightBias = tzi.daylightBias;
    info.StandardDate = tzi.standardDate;
    info.DaylightDate = tzi.daylightDate;
    ReadName(key, L"Std", info.StandardName);
    ReadName(key, L"Dlt", info.DaylightName);
    FInfo = info;
  }

  std::optional<TimeZoneState> QueryAt(int64_t utcSeconds) const override {
    if (!FInfo) return std::nullopt;
    return StateAt(*FInfo, utcSeconds);
  }

 private:
  static void ReadName(const std::wstring& key, const wchar_t* value, WCHAR (&name)[32]) {
    DWORD size = sizeof name;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), value, RRF_RT_REG_SZ, nullptr, name, &size) != ERROR_SUCCESS)
      name[0] = L'\0';
    name[31] = L'\0';
  }

  std::optional<TIME_ZONE_INFORMATION> FInfo;
};

}  // namespace

std::optional<TimeZoneState> TimeZoneSource::Query() const { return QueryAt(static_cast<int64_t>(std::time(nullptr))); }

std::unique_ptr<TimeZoneSource> NewTimeZone(const std::string& tz) { return std::make_unique<NamedZone>(tz); }

// The system's zone setting: Windows programs do not follow TZ.
std::unique_ptr<TimeZoneSource> NewSystemTimeZone() { return std::make_unique<SystemZone>(); }

}  // namespace platform
