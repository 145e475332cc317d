#include "platform/TimeZone.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <utility>
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

struct CivilDate {
  int year, month, day;
};

CivilDate CivilFromDays(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (m <= 2)), static_cast<int>(m),
          static_cast<int>(d)};
}

int YearOfDays(int64_t z) { return CivilFromDays(z).year; }

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0); }

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

// A moment of local time (seconds since 1970) as a date of its year.
TimeZoneDate FixedDate(int64_t localSeconds) {
  const int64_t days = FloorDiv(localSeconds, 86400);
  const int64_t t = localSeconds - days * 86400;
  const CivilDate civil = CivilFromDays(days);
  TimeZoneDate d;
  d.year = civil.year;
  d.month = civil.month;
  d.day = civil.day;
  d.dayOfWeek = Weekday(days);
  d.hour = static_cast<int>(t / 3600);
  d.minute = static_cast<int>(t / 60 % 60);
  d.second = static_cast<int>(t % 60);
  return d;
}

TimeZoneDate WindowsDate(const Rule& r, int year) {
  if (r.kind != Rule::MonthWeekDay) {
    // A fixed day of the year: only a date of this year can say it.
    return FixedDate(r.LocalSeconds(year));
  }
  TimeZoneDate d;
  if (r.time >= 0 && r.time < 86400) {
    d.month = r.month;
    d.day = r.week;
    d.dayOfWeek = r.weekday;
    d.hour = r.time / 3600;
    d.minute = r.time / 60 % 60;
    d.second = r.time % 60;
    return d;
  }
  // A POSIX time beyond the day ("/26" for the Friday after a Thursday, "/-1"
  // for the Saturday before a Sunday) moves the transition to another day;
  // Windows keeps a time of day only, so the weekday and week are those of the
  // local moment this year. The week counts from the first of its month, and
  // the last such weekday of a month stays "last" when the rule says so.
  d = FixedDate(r.LocalSeconds(year));
  const int dayOfMonth = d.day;
  const bool last = dayOfMonth + 7 > DaysInMonth(d.year, d.month);
  d.day = r.week == 5 && last ? 5 : (dayOfMonth - 1) / 7 + 1;
  d.year = 0;
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

int64_t BigEndian64(const std::string& data, size_t at) {
  return static_cast<int64_t>((static_cast<uint64_t>(BigEndian32(data, at)) << 32) | BigEndian32(data, at + 4));
}

// One local-time type of a zone file.
struct ZoneType {
  int32_t utcOffset = 0;  // seconds east of UTC
  std::string name;
};

// The transitions of a zone file: from times[k] on, types[typeOf[k]] is in
// force.
struct TransitionTable {
  std::vector<int64_t> times;
  std::vector<uint8_t> typeOf;
  std::vector<ZoneType> types;
};

// What a TZif file says: its POSIX rule (the footer of version 2 and later,
// or for a file without one the offset and name of its last local-time type)
// and its transition table (that of the 64-bit block when there is one).
struct ZoneFile {
  std::optional<std::string> rule;
  TransitionTable table;
};

std::optional<ZoneFile> ReadZoneFile(const std::string& data) {
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
  // The table of the block at `at` with times of timeSize bytes.
  auto tableAt = [&](size_t at, const std::vector<uint32_t>& c, size_t timeSize) {
    TransitionTable table;
    const size_t indexes = at + kHeader + c[3] * timeSize;
    const size_t types = indexes + c[3];
    const size_t chars = types + c[4] * 6;
    for (size_t k = 0; k < c[3]; ++k) {
      const size_t time = at + kHeader + k * timeSize;
      table.times.push_back(timeSize == 8 ? BigEndian64(data, time)
                                          : static_cast<int32_t>(BigEndian32(data, time)));
      table.typeOf.push_back(static_cast<uint8_t>(data[indexes + k]));
    }
    for (size_t k = 0; k < c[4]; ++k) {
      ZoneType type;
      type.utcOffset = static_cast<int32_t>(BigEndian32(data, types + k * 6));
      const size_t nameAt = chars + static_cast<unsigned char>(data[types + k * 6 + 5]);
      const auto nameEnd = data.find('\0', nameAt);
      if (nameAt < chars + c[5] && nameEnd != std::string::npos) type.name = data.substr(nameAt, nameEnd - nameAt);
      table.types.push_back(std::move(type));
    }
    for (uint8_t& index : table.typeOf) {
      if (index >= table.types.size()) index = 0;
    }
    if (table.types.empty()) table.times.clear(), table.typeOf.clear();
    return table;
  };
  const auto v1 = counts(0);
  const size_t v1End = kHeader + blockSize(v1, 4);
  if (data.size() < v1End) return std::nullopt;
  ZoneFile file;
  if (data[4] >= '2' && data.size() >= v1End + kHeader && data.compare(v1End, 4, "TZif") == 0) {
    const auto v2 = counts(v1End);
    const size_t footer = v1End + kHeader + blockSize(v2, 8);
    if (data.size() >= footer) file.table = tableAt(v1End, v2, 8);
    if (data.size() > footer && data[footer] == '\n') {
      const auto close = data.find('\n', footer + 1);
      if (close != std::string::npos && close > footer + 1) file.rule = data.substr(footer + 1, close - footer - 1);
    }
  } else {
    file.table = tableAt(0, v1, 4);
  }
  if (file.rule) return file;
  // No footer: the last type in use stands for the zone, without daylight time.
  const TransitionTable& table = file.table;
  if (table.types.empty()) return std::nullopt;
  const ZoneType& last = table.types[table.typeOf.empty() ? 0 : table.typeOf.back()];
  const int32_t west = -last.utcOffset;
  std::string rule = "<" + last.name + ">" + (west < 0 ? "-" : "");
  const int32_t a = west < 0 ? -west : west;
  rule += std::to_string(a / 3600) + ":" + std::to_string(a / 60 % 60) + ":" + std::to_string(a % 60);
  file.rule = rule;
  // The table adds nothing to a rule taken from its own last type.
  file.table = {};
  return file;
}

// The local year (by the standard offset) that an instant falls in, and the
// instants it begins and ends at.
struct YearSpan {
  int year;
  int64_t begin, end;
};

YearSpan YearOf(int64_t utc, int32_t westOffset) {
  const int year = YearOfDays(FloorDiv(utc - westOffset, 86400));
  return {year, DaysFromCivil(year, 1, 1) * 86400 + westOffset, DaysFromCivil(year + 1, 1, 1) * 86400 + westOffset};
}

// A change of the UTC offset in the transition table.
struct OffsetChange {
  int64_t time;
  const ZoneType* from;
  const ZoneType* to;
  bool operator<(const OffsetChange& other) const { return time < other.time; }
};

std::vector<OffsetChange> ChangesWithin(const TransitionTable& table, int64_t begin, int64_t end) {
  std::vector<OffsetChange> changes;
  for (size_t k = 0; k < table.times.size(); ++k) {
    if (table.times[k] < begin || table.times[k] >= end) continue;
    const ZoneType* from = &table.types[k == 0 ? 0 : table.typeOf[k - 1]];
    const ZoneType* to = &table.types[table.typeOf[k]];
    if (from->utcOffset != to->utcOffset) changes.push_back({table.times[k], from, to});
  }
  return changes;
}

const ZoneType& TypeAt(const TransitionTable& table, int64_t utc) {
  size_t index = 0;
  for (size_t k = 0; k < table.times.size() && table.times[k] <= utc; ++k) index = table.typeOf[k];
  return table.types[index];
}

// Whether the transition table, not the POSIX rule, says what happens in the
// instant's year: the instant lies before the table's last transition and the
// offset changes the table lists for that year are not those of the rule
// (Morocco's table moves to +00 for Ramadan each year while its rule says +01
// all year).
bool TableGoverns(const TransitionTable& table, const PosixZone& z, int64_t utc) {
  if (table.times.empty() || utc >= table.times.back()) return false;
  const YearSpan span = YearOf(utc, z.stdOffset);
  std::vector<std::pair<int64_t, int32_t>> listed;
  for (const OffsetChange& change : ChangesWithin(table, span.begin, span.end)) {
    listed.emplace_back(change.time, change.to->utcOffset);
  }
  std::vector<std::pair<int64_t, int32_t>> ruled;
  if (z.hasDst) {
    ruled.emplace_back(z.start.LocalSeconds(span.year) + z.stdOffset, -z.dstOffset);
    ruled.emplace_back(z.end.LocalSeconds(span.year) + z.dstOffset, -z.stdOffset);
    std::sort(ruled.begin(), ruled.end());
  }
  return listed != ruled;
}

// The rules of the instant's year as the transition table gives them: the
// higher of the year's two offsets is daylight time, each transition a date
// of this year in the local time of the period it ends. A year with no change,
// or with changes among more than two offsets, is described by the type in
// force, without daylight time.
TimeZoneState StateOfTable(const TransitionTable& table, const PosixZone& z, int64_t utc) {
  TimeZoneState state;
  TimeZoneRules& rules = state.rules;
  const ZoneType& current = TypeAt(table, utc);
  const YearSpan span = YearOf(utc, z.stdOffset);
  const std::vector<OffsetChange> changes = ChangesWithin(table, span.begin, span.end);
  std::set<int32_t> offsets;
  for (const OffsetChange& change : changes) offsets.insert({change.from->utcOffset, change.to->utcOffset});
  if (changes.empty() || offsets.size() != 2) {
    rules.bias = -current.utcOffset / 60;
    rules.standardName = current.name;
    rules.daylightName = current.name;
    return state;
  }
  const int32_t standard = *offsets.begin();
  const int32_t daylight = *offsets.rbegin();
  // Of several changes of a kind in the year, the one nearest the instant.
  auto nearest = [&](int32_t into) {
    const OffsetChange* best = nullptr;
    for (const OffsetChange& change : changes) {
      if (change.to->utcOffset != into) continue;
      if (best == nullptr || std::llabs(change.time - utc) < std::llabs(best->time - utc)) best = &change;
    }
    return best;
  };
  const OffsetChange* intoStandard = nearest(standard);
  const OffsetChange* intoDaylight = nearest(daylight);
  rules.bias = -standard / 60;
  rules.daylightBias = -(daylight - standard) / 60;
  rules.standardName = intoStandard != nullptr ? intoStandard->to->name : intoDaylight->from->name;
  rules.daylightName = intoDaylight != nullptr ? intoDaylight->to->name : intoStandard->from->name;
  if (intoStandard != nullptr) rules.standardDate = FixedDate(intoStandard->time + intoStandard->from->utcOffset);
  if (intoDaylight != nullptr) rules.daylightDate = FixedDate(intoDaylight->time + intoDaylight->from->utcOffset);
  state.period = current.utcOffset == daylight ? TimeZonePeriod::Daylight : TimeZonePeriod::Standard;
  return state;
}

std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What a TZ value stands for, as the C library reads it: a zone file, or a
// POSIX rule given as the value itself.
std::optional<ZoneFile> Resolve(std::string tz) {
  if (tz.empty()) return ZoneFile{std::string("UTC0"), {}};
  const bool fileOnly = tz[0] == ':';
  if (fileOnly) tz.erase(0, 1);
  if (!tz.empty() && tz.find("..") == std::string::npos) {
    std::string path = tz;
    if (tz[0] != '/') {
      const char* dir = std::getenv("TZDIR");
      path = std::string(dir != nullptr && *dir != '\0' ? dir : "/usr/share/zoneinfo") + "/" + tz;
    }
    if (auto data = ReadFile(path)) return ReadZoneFile(*data);
  }
  if (fileOnly) return std::nullopt;
  return ZoneFile{tz, {}};
}

class PosixTimeZone final : public TimeZoneSource {
 public:
  explicit PosixTimeZone(const std::optional<ZoneFile>& file) {
    if (!file || !file->rule) return;
    PosixZone zone;
    if (!Parser(*file->rule).Parse(zone)) return;
    zone_ = zone;
    table_ = file->table;
  }
  std::optional<TimeZoneState> QueryAt(int64_t utcSeconds) const override {
    if (!zone_) return std::nullopt;
    if (TableGoverns(table_, *zone_, utcSeconds)) return StateOfTable(table_, *zone_, utcSeconds);
    return StateOf(*zone_, utcSeconds);
  }

 private:
  std::optional<PosixZone> zone_;
  TransitionTable table_;
};

}  // namespace

std::optional<TimeZoneState> TimeZoneSource::Query() const {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return QueryAt(std::chrono::duration_cast<std::chrono::seconds>(now).count());
}

std::unique_ptr<TimeZoneSource> NewTimeZone(const std::string& tz) {
  return std::make_unique<PosixTimeZone>(Resolve(tz));
}

std::unique_ptr<TimeZoneSource> NewSystemTimeZone() {
  if (const char* tz = std::getenv("TZ")) return NewTimeZone(tz);
  // Without a zone setting the C library keeps UTC.
  std::optional<ZoneFile> file = ZoneFile{std::string("UTC0"), {}};
  if (auto data = ReadFile("/etc/localtime")) file = ReadZoneFile(*data);
  return std::make_unique<PosixTimeZone>(file);
}

}  // namespace platform
