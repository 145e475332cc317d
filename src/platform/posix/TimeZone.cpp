#include "platform/TimeZone.h"

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

namespace platform {
namespace {

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

int YearOfDays(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (m <= 2));
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

int Weekday(int64_t days) { return static_cast<int>(((days % 7) + 11) % 7); }  // 1970-01-01 was a Thursday

// One transition rule of a POSIX TZ text.
struct Rule {
  enum Kind { MonthWeekDay, JulianNoLeap, ZeroBasedDay } kind = MonthWeekDay;
  int month = 0, week = 0, weekday = 0, day = 0;
  int32_t time = 7200;  // seconds after local midnight

  // Local seconds since 1970 of the rule's moment in year y.
  int64_t LocalSeconds(int y) const {
    int64_t days = 0;
    switch (kind) {
      case MonthWeekDay: {
        const int64_t first = DaysFromCivil(y, static_cast<unsigned>(month), 1);
        int dom = 1 + (weekday - Weekday(first) + 7) % 7 + (week - 1) * 7;
        while (dom > DaysInMonth(y, month)) dom -= 7;
        days = first + dom - 1;
        break;
      }
      case JulianNoLeap:  // 1..365, February 29 never counted
        days = DaysFromCivil(y, 1, 1) + day - 1 + (IsLeap(y) && day >= 60 ? 1 : 0);
        break;
      case ZeroBasedDay:
        days = DaysFromCivil(y, 1, 1) + day;
        break;
    }
    return days * 86400 + time;
  }
};

struct PosixZone {
  std::string stdName, dstName;
  int32_t stdOffset = 0;  // seconds, UTC = local + offset
  int32_t dstOffset = 0;
  bool hasDst = false;
  Rule start, end;
};

class Parser {
 public:
  explicit Parser(const std::string& text) : s_(text) {}

  bool Parse(PosixZone& z) {
    if (!Name(z.stdName) || !Offset(z.stdOffset)) return false;
    if (AtEnd()) return true;
    if (!Name(z.dstName)) return false;
    z.hasDst = true;
    z.dstOffset = z.stdOffset - 3600;
    if (!AtEnd() && s_[i_] != ',' && !Offset(z.dstOffset)) return false;
    if (AtEnd()) {  // the rules of the POSIX default
      z.start = Rule{Rule::MonthWeekDay, 3, 2, 0, 0, 7200};
      z.end = Rule{Rule::MonthWeekDay, 11, 1, 0, 0, 7200};
      return true;
    }
    return Eat(',') && ParseRule(z.start) && Eat(',') && ParseRule(z.end) && AtEnd();
  }

 private:
  bool AtEnd() const { return i_ >= s_.size(); }
  bool Eat(char c) {
    if (AtEnd() || s_[i_] != c) return false;
    ++i_;
    return true;
  }
  bool Name(std::string& out) {
    const size_t begin = i_;
    if (Eat('<')) {
      const auto close = s_.find('>', i_);
      if (close == std::string::npos) return false;
      out = s_.substr(i_, close - i_);
      i_ = close + 1;
      return !out.empty();
    }
    while (!AtEnd() && std::isalpha(static_cast<unsigned char>(s_[i_]))) ++i_;
    out = s_.substr(begin, i_ - begin);
    return out.size() >= 3;
  }
  bool Number(int& out) {
    if (AtEnd() || !std::isdigit(static_cast<unsigned char>(s_[i_]))) return false;
    out = 0;
    while (!AtEnd() && std::isdigit(static_cast<unsigned char>(s_[i_])) && out < 100000) out = out * 10 + (s_[i_++] - '0');
    return true;
  }
  // [+-]hh[:mm[:ss]] in seconds.
  bool Offset(int32_t& out) {
    int sign = 1;
    if (Eat('-')) {
      sign = -1;
    } else {
      Eat('+');
    }
    int h = 0, m = 0, sec = 0;
    if (!Number(h)) return false;
    if (Eat(':') && (!Number(m) || (Eat(':') && !Number(sec)))) return false;
    if (h > 167 || m > 59 || sec > 59) return false;
    out = sign * (h * 3600 + m * 60 + sec);
    return true;
  }
  bool ParseRule(Rule& r) {
    if (Eat('M')) {
      r.kind = Rule::MonthWeekDay;
      if (!Number(r.month) || !Eat('.') || !Number(r.week) || !Eat('.') || !Number(r.weekday)) return false;
      if (r.month < 1 || r.month > 12 || r.week < 1 || r.week > 5 || r.weekday > 6) return false;
    } else if (Eat('J')) {
      r.kind = Rule::JulianNoLeap;
      if (!Number(r.day) || r.day < 1 || r.day > 365) return false;
    } else {
      r.kind = Rule::ZeroBasedDay;
      if (!Number(r.day) || r.day > 365) return false;
    }
    r.time = 7200;
    return !Eat('/') || Offset(r.time);
  }

  const std::string& s_;
  size_t i_ = 0;
};

TimeZoneDate WindowsDate(const Rule& r, int year) {
  TimeZoneDate d;
  // Windows keeps the time of day only; a POSIX time beyond the day (such as
  // "/25" or "/-1") is folded into it.
  const int32_t t = ((r.time % 86400) + 86400) % 86400;
  d.hour = t / 3600;
  d.minute = t / 60 % 60;
  d.second = t % 60;
  if (r.kind == Rule::MonthWeekDay) {
    d.month = r.month;
    d.day = r.week;
    d.dayOfWeek = r.weekday;
  } else {
    // A fixed day of the year: only a date of this year can say it.
    const int64_t days = r.LocalSeconds(year) / 86400;
    int m = 1;
    int64_t dayOfYear = days - DaysFromCivil(year, 1, 1);
    while (m < 12 && dayOfYear >= DaysInMonth(year, m)) dayOfYear -= DaysInMonth(year, m++);
    d.year = year;
    d.month = m;
    d.day = static_cast<int>(dayOfYear) + 1;
    d.dayOfWeek = Weekday(days);
  }
  return d;
}

TimeZoneState StateOf(const PosixZone& z, int64_t utc) {
  TimeZoneState state;
  TimeZoneRules& rules = state.rules;
  if (!z.hasDst) {
    rules.bias = z.stdOffset / 60;
    rules.standardName = z.stdName;
    rules.daylightName = z.stdName;
    return state;
  }
  const int year = YearOfDays((utc - z.stdOffset) / 86400 - ((utc - z.stdOffset) % 86400 < 0 ? 1 : 0));
  const int64_t startUtc = z.start.LocalSeconds(year) + z.stdOffset;
  const int64_t endUtc = z.end.LocalSeconds(year) + z.dstOffset;
  const bool inDst = startUtc < endUtc ? (utc >= startUtc && utc < endUtc) : (utc >= startUtc || utc < endUtc);

  // A zone whose "daylight" offset lies behind its standard one (winter time
  // as the exception) is described the other way round, as Windows does.
  const bool reversed = z.dstOffset > z.stdOffset;
  const int32_t standardOffset = reversed ? z.dstOffset : z.stdOffset;
  const int32_t daylightOffset = reversed ? z.stdOffset : z.dstOffset;
  rules.bias = standardOffset / 60;
  rules.standardName = reversed ? z.dstName : z.stdName;
  rules.daylightName = reversed ? z.stdName : z.dstName;
  rules.daylightBias = (daylightOffset - standardOffset) / 60;
  rules.standardDate = WindowsDate(reversed ? z.start : z.end, year);
  rules.daylightDate = WindowsDate(reversed ? z.end : z.start, year);
  state.period = (inDst != reversed) ? TimeZonePeriod::Daylight : TimeZonePeriod::Standard;
  return state;
}

uint32_t BigEndian32(const std::string& data, size_t at) {
  return (static_cast<uint32_t>(static_cast<unsigned char>(data[at])) << 24) |
         (static_cast<uint32_t>(static_cast<unsigned char>(data[at + 1])) << 16) |
         (static_cast<uint32_t>(static_cast<unsigned char>(data[at + 2])) << 8) |
         static_cast<uint32_t>(static_cast<unsigned char>(data[at + 3]));
}

// The POSIX rule of a TZif file: its footer (version 2 and later) or, for a
// file without one, the offset and name of its last local-time type.
std::optional<std::string> RuleOfZoneFile(const std::string& data) {
  constexpr size_t kHeader = 44;
  if (data.size() < kHeader || data.compare(0, 4, "TZif") != 0) return std::nullopt;
  auto counts = [&](size_t at) {
    std::vector<uint32_t> c(6);
    for (size_t k = 0; k < 6; ++k) c[k] = BigEndian32(data, at + 20 + 4 * k);
    return c;  // isutcnt, isstdcnt, leapcnt, timecnt, typecnt, charcnt
  };
  auto blockSize = [](const std::vector<uint32_t>& c, size_t timeSize) {
    return c[3] * timeSize + c[3] + c[4] * 6 + c[5] + c[2] * (timeSize + 4) + c[1] + c[0];
  };
  const auto v1 = counts(0);
  const size_t v1End = kHeader + blockSize(v1, 4);
  if (data.size() < v1End) return std::nullopt;
  if (data[4] >= '2' && data.size() >= v1End + kHeader && data.compare(v1End, 4, "TZif") == 0) {
    const auto v2 = counts(v1End);
    const size_t footer = v1End + kHeader + blockSize(v2, 8);
    if (data.size() > footer && data[footer] == '\n') {
      const auto close = data.find('\n', footer + 1);
      if (close != std::string::npos && close > footer + 1) return data.substr(footer + 1, close - footer - 1);
    }
  }
  // No footer: the last type in use stands for the zone, without daylight time.
  if (v1[4] == 0) return std::nullopt;
  const size_t types = kHeader + v1[3] * 4 + v1[3];
  const size_t chars = types + v1[4] * 6;
  size_t type = 0;
  if (v1[3] > 0) type = static_cast<unsigned char>(data[kHeader + v1[3] * 4 + v1[3] - 1]);
  if (type >= v1[4]) return std::nullopt;
  const auto utcOffset = static_cast<int32_t>(BigEndian32(data, types + type * 6));
  const size_t nameAt = chars + static_cast<unsigned char>(data[types + type * 6 + 5]);
  const auto nameEnd = data.find('\0', nameAt);
  if (nameEnd == std::string::npos) return std::nullopt;
  const int32_t west = -utcOffset;
  std::string rule = "<" + data.substr(nameAt, nameEnd - nameAt) + ">" + (west < 0 ? "-" : "");
  const int32_t a = west < 0 ? -west : west;
  rule += std::to_string(a / 3600) + ":" + std::to_string(a / 60 % 60) + ":" + std::to_string(a % 60);
  return rule;
}

std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The POSIX rule a TZ value stands for, as the C library reads it.
std::optional<std::string> ResolveRule(std::string tz) {
  if (tz.empty()) return std::string("UTC0");
  const bool fileOnly = tz[0] == ':';
  if (fileOnly) tz.erase(0, 1);
  if (!tz.empty() && tz.find("..") == std::string::npos) {
    std::string path = tz;
    if (tz[0] != '/') {
      const char* dir = std::getenv("TZDIR");
      path = std::string(dir != nullptr && *dir != '\0' ? dir : "/usr/share/zoneinfo") + "/" + tz;
    }
    if (auto data = ReadFile(path)) return RuleOfZoneFile(*data);
  }
  if (fileOnly) return std::nullopt;
  return tz;
}

class PosixTimeZone final : public TimeZoneSource {
 public:
  explicit PosixTimeZone(std::optional<PosixZone> zone) : zone_(std::move(zone)) {}
  std::optional<TimeZoneState> QueryAt(int64_t utcSeconds) const override {
    if (!zone_) return std::nullopt;
    return StateOf(*zone_, utcSeconds);
  }

 private:
  std::optional<PosixZone> zone_;
};

std::optional<PosixZone> ZoneOfRule(const std::optional<std::string>& rule) {
  if (!rule) return std::nullopt;
  PosixZone zone;
  if (!Parser(*rule).Parse(zone)) return std::nullopt;
  return zone;
}

}  // namespace

std::optional<TimeZoneState> TimeZoneSource::Query() const {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return QueryAt(std::chrono::duration_cast<std::chrono::seconds>(now).count());
}

std::unique_ptr<TimeZoneSource> NewTimeZone(const std::string& tz) {
  return std::make_unique<PosixTimeZone>(ZoneOfRule(ResolveRule(tz)));
}

std::unique_ptr<TimeZoneSource> NewSystemTimeZone() {
  if (const char* tz = std::getenv("TZ")) return NewTimeZone(tz);
  // Without a zone setting the C library keeps UTC.
  std::optional<std::string> rule = std::string("UTC0");
  if (auto data = ReadFile("/etc/localtime")) rule = RuleOfZoneFile(*data);
  return std::make_unique<PosixTimeZone>(ZoneOfRule(rule));
}

}  // namespace platform
