#include "model/JSONConventions.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <unordered_map>

#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "platform/TextEncoding.h"

namespace {

using TObject = TJSONValue::object_t;
using TArray = TJSONValue::array_t;

// --- Paths -----------------------------------------------------------------

// Calls step(name, isLast) for each dotted name of path; raises for an empty name.
template <class F>
void ForEachName(std::string_view path, F&& step) {
  size_t start = 0;
  for (;;) {
    const size_t dot = path.find('.', start);
    const std::string_view name =
        path.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    if (name.empty()) throw EConvertError("Invalid JSON path \"" + std::string(path) + "\"");
    const bool last = dot == std::string_view::npos;
    step(name, last);
    if (last) return;
    start = dot + 1;
  }
}

TJSONValue* FindMember(TJSONValue& object, std::string_view name) {
  for (auto& member : object.get_ref<TObject&>()) {
    if (member.first == name) return &member.second;
  }
  return nullptr;
}

const TJSONValue* FindMember(const TJSONValue& object, std::string_view name) {
  for (const auto& member : object.get_ref<const TObject&>()) {
    if (member.first == name) return &member.second;
  }
  return nullptr;
}

TJSONValue& AddMember(TJSONValue& object, std::string_view name, TJSONValue value) {
  auto& members = object.get_ref<TObject&>();
  members.emplace_back(std::string(name), std::move(value));
  return members.back().second;
}

// --- Writing ----------------------------------------------------------------

// Extra characters the escaped form of a byte needs: 1 for the quote and the
// backslash, 5 for NUL (\u0000), 0 for every other byte.
constexpr auto kEscapeExtra = [] {
  std::array<uint8_t, 256> extra{};
  extra[static_cast<uint8_t>('"')] = 1;
  extra[static_cast<uint8_t>('\\')] = 1;
  extra[0] = 5;
  return extra;
}();

// Index of the first byte of s from start on that needs escaping, s.size()
// when there is none. Eight bytes are tested at a time: documents are mostly
// long Base64 strings that need no escape at all.
size_t FindEscape(std::string_view s, size_t start) {
  constexpr uint64_t kOnes = 0x0101010101010101u;
  constexpr uint64_t kHighs = 0x8080808080808080u;
  const auto hasZeroByte = [](uint64_t v) { return (v - kOnes) & ~v & kHighs; };
  size_t i = start;
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, s.data() + i, 8);
    if ((hasZeroByte(word) | hasZeroByte(word ^ (kOnes * '"')) | hasZeroByte(word ^ (kOnes * '\\'))) != 0) {
      break;
    }
  }
  for (; i < s.size(); ++i) {
    if (kEscapeExtra[static_cast<uint8_t>(s[i])] != 0) return i;
  }
  return s.size();
}

size_t StringTextSize(std::string_view s) {
  size_t size = s.size() + 2;
  for (size_t i = FindEscape(s, 0); i < s.size(); i = FindEscape(s, i + 1)) {
    size += kEscapeExtra[static_cast<uint8_t>(s[i])];
  }
  return size;
}

void WriteString(std::string_view s, std::string& out) {
  out += '"';
  size_t start = 0;
  for (size_t i = FindEscape(s, 0); i < s.size(); i = FindEscape(s, start)) {
    out.append(s.data() + start, i - start);
    if (s[i] == '\0') {
      out.append("\\u0000");
    } else {
      out += '\\';
      out += s[i];
    }
    start = i + 1;
  }
  out.append(s.data() + start, s.size() - start);
  out += '"';
}

template <class T>
void WriteDecimal(T n, std::string& out) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, n);
  out.append(buffer, result.ptr);
}

template <class T>
size_t DecimalSize(T n) {
  char buffer[24];
  return static_cast<size_t>(std::to_chars(buffer, buffer + sizeof buffer, n).ptr - buffer);
}

std::string FloatText(double x) {
  return std::isfinite(x) ? FloatToGeneralText(x, '.') : std::string("null");
}

// The exact size of the text JSONWriteTo produces, so that a document is
// written into a buffer allocated once: a large document and a doubling
// buffer would otherwise need up to twice its size at the moment of growth.
size_t TextSize(const TJSONValue& value) {
  switch (value.type()) {
    case TJSONValue::value_t::boolean:
      return value.get<bool>() ? 4 : 5;
    case TJSONValue::value_t::number_integer:
      return DecimalSize(value.get<int64_t>());
    case TJSONValue::value_t::number_unsigned:
      return DecimalSize(value.get<uint64_t>());
    case TJSONValue::value_t::number_float:
      return FloatText(value.get<double>()).size();
    case TJSONValue::value_t::string:
      return StringTextSize(value.get_ref<const std::string&>());
    case TJSONValue::value_t::object: {
      const auto& members = value.get_ref<const TObject&>();
      size_t size = 2 + (members.empty() ? 0 : members.size() - 1);
      for (const auto& member : members) size += StringTextSize(member.first) + 1 + TextSize(member.second);
      return size;
    }
    case TJSONValue::value_t::array: {
      const auto& elements = value.get_ref<const TArray&>();
      size_t size = 2 + (elements.empty() ? 0 : elements.size() - 1);
      for (const auto& element : elements) size += TextSize(element);
      return size;
    }
    default:
      return 4;  // null, and kinds the collector never builds
  }
}

void WriteValue(const TJSONValue& value, std::string& out) {
  switch (value.type()) {
    case TJSONValue::value_t::boolean:
      out.append(value.get<bool>() ? "true" : "false");
      return;
    case TJSONValue::value_t::number_integer:
      WriteDecimal(value.get<int64_t>(), out);
      return;
    case TJSONValue::value_t::number_unsigned:
      WriteDecimal(value.get<uint64_t>(), out);
      return;
    case TJSONValue::value_t::number_float:
      out.append(FloatText(value.get<double>()));
      return;
    case TJSONValue::value_t::string:
      WriteString(value.get_ref<const std::string&>(), out);
      return;
    case TJSONValue::value_t::object: {
      out += '{';
      bool first = true;
      for (const auto& member : value.get_ref<const TObject&>()) {
        if (!first) out += ',';
        first = false;
        WriteString(member.first, out);
        out += ':';
        WriteValue(member.second, out);
      }
      out += '}';
      return;
    }
    case TJSONValue::value_t::array: {
      out += '[';
      bool first = true;
      for (const auto& element : value.get_ref<const TArray&>()) {
        if (!first) out += ',';
        first = false;
        WriteValue(element, out);
      }
      out += ']';
      return;
    }
    default:
      out.append("null");
      return;
  }
}

// --- Reading ----------------------------------------------------------------

constexpr int kMaxDepth = 512;

bool IsJSONSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Objects with this many members or more find repeated names through an index.
constexpr size_t kIndexedMembers = 16;

// Recursive descent over one value. Each Parse* returns false for broken text.
class TParser {
 public:
  explicit TParser(std::string_view text) : text_(text) {}

  void SkipSpace() {
    while (pos_ < text_.size() && IsJSONSpace(text_[pos_])) ++pos_;
  }

  bool BeginsLikeValue() const {
    if (pos_ >= text_.size()) return false;
    const char c = text_[pos_];
    if (c == '{' || c == '[' || c == '"' || c == '-' || IsDigit(c)) return true;
    const std::string_view rest = text_.substr(pos_);
    return rest.starts_with("true") || rest.starts_with("false") || rest.starts_with("null");
  }

  bool ParseValue(TJSONValue& out, int depth) {
    if (depth > kMaxDepth) return false;
    SkipSpace();
    if (pos_ >= text_.size()) return false;
    switch (text_[pos_]) {
      case '{':
        return ParseObject(out, depth);
      case '[':
        return ParseArray(out, depth);
      case '"': {
        std::string s;
        if (!ParseString(s)) return false;
        out = std::move(s);
        return true;
      }
      case 't':
        return ParseWord("true", out, TJSONValue(true));
      case 'f':
        return ParseWord("false", out, TJSONValue(false));
      case 'n':
        return ParseWord("null", out, TJSONValue(nullptr));
      default:
        return ParseNumber(out);
    }
  }

 private:
  bool ParseWord(std::string_view word, TJSONValue& out, TJSONValue value) {
    if (!text_.substr(pos_).starts_with(word)) return false;
    pos_ += word.size();
    out = std::move(value);
    return true;
  }

  bool ParseObject(TJSONValue& out, int depth) {
    ++pos_;  // {
    out = TJSONValue::object();
    std::unordered_map<std::string, size_t> positions;  // filled once the object is large
    SkipSpace();
    if (pos_ < text_.size() && text_[pos_] == '}') {
      ++pos_;
      return true;
    }
    for (;;) {
      SkipSpace();
      if (pos_ >= text_.size() || text_[pos_] != '"') return false;
      std::string name;
      if (!ParseString(name)) return false;
      SkipSpace();
      if (pos_ >= text_.size() || text_[pos_] != ':') return false;
      ++pos_;
      TJSONValue member;
      if (!ParseValue(member, depth + 1)) return false;
      // A repeated name keeps its first place and takes the later value.
      auto& members = out.get_ref<TObject&>();
      if (members.size() == kIndexedMembers && positions.empty()) {
        // From here on names are found through an index, so that an answer
        // with many members is read in linear time.
        for (size_t i = 0; i < members.size(); ++i) positions.emplace((members.begin() + i)->first, i);
      }
      TJSONValue* existing = nullptr;
      if (positions.empty()) {
        existing = FindMember(out, name);
      } else if (const auto at = positions.find(name); at != positions.end()) {
        existing = &(members.begin() + at->second)->second;
      }
      if (existing != nullptr) {
        *existing = std::move(member);
      } else {
        AddMember(out, name, std::move(member));
        if (!positions.empty()) positions.emplace(std::move(name), members.size() - 1);
      }
      SkipSpace();
      if (pos_ >= text_.size()) return false;
      if (text_[pos_] == '}') {
        ++pos_;
        return true;
      }
      if (text_[pos_] != ',') return false;
      ++pos_;
    }
  }

  bool ParseArray(TJSONValue& out, int depth) {
    ++pos_;  // [
    out = TJSONValue::array();
    SkipSpace();
    if (pos_ < text_.size() && text_[pos_] == ']') {
      ++pos_;
      return true;
    }
    auto& elements = out.get_ref<TArray&>();
    for (;;) {
      TJSONValue element;
      if (!ParseValue(element, depth + 1)) return false;
      elements.push_back(std::move(element));
      SkipSpace();
      if (pos_ >= text_.size()) return false;
      if (text_[pos_] == ']') {
        ++pos_;
        return true;
      }
      if (text_[pos_] != ',') return false;
      ++pos_;
    }
  }

  bool ParseHex4(uint32_t& code) {
    if (text_.size() - pos_ < 4) return false;
    code = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_++];
      code <<= 4;
      if (IsDigit(c)) {
        code |= static_cast<uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        code |= static_cast<uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        code |= static_cast<uint32_t>(c - 'A' + 10);
      } else {
        return false;
      }
    }
    return true;
  }

  // Raw control characters are taken as they stand: the collector's own
  // writer leaves them unescaped.
  bool ParseString(std::string& out) {
    ++pos_;  // opening quote
    for (;;) {
      const size_t special = text_.find_first_of("\"\\", pos_);
      if (special == std::string_view::npos) return false;
      out.append(text_.data() + pos_, special - pos_);
      pos_ = special + 1;
      if (text_[special] == '"') return true;
      if (pos_ >= text_.size()) return false;
      const char escape = text_[pos_++];
      switch (escape) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          uint32_t code;
          if (!ParseHex4(code)) return false;
          if (code >= 0xD800 && code <= 0xDBFF && text_.substr(pos_).starts_with("\\u")) {
            const size_t mark = pos_;
            pos_ += 2;
            uint32_t low;
            if (!ParseHex4(low)) return false;
            if (low >= 0xDC00 && low <= 0xDFFF) {
              code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            } else {
              pos_ = mark;  // not a pair: the next escape stands alone
            }
          }
          if (code >= 0xD800 && code <= 0xDFFF) code = 0xFFFD;
          platform::AppendUtf8(out, code);
          break;
        }
        default:
          return false;
      }
    }
  }

  bool ParseNumber(TJSONValue& out) {
    const size_t start = pos_;
    if (text_[pos_] == '-') ++pos_;
    if (pos_ >= text_.size() || !IsDigit(text_[pos_])) return false;
    if (text_[pos_] == '0') {
      ++pos_;
    } else {
      while (pos_ < text_.size() && IsDigit(text_[pos_])) ++pos_;
    }
    bool integral = true;
    bool negativeExponent = false;
    if (pos_ < text_.size() && text_[pos_] == '.') {
      integral = false;
      ++pos_;
      if (pos_ >= text_.size() || !IsDigit(text_[pos_])) return false;
      while (pos_ < text_.size() && IsDigit(text_[pos_])) ++pos_;
    }
    if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
      integral = false;
      ++pos_;
      if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) {
        negativeExponent = text_[pos_] == '-';
        ++pos_;
      }
      if (pos_ >= text_.size() || !IsDigit(text_[pos_])) return false;
      while (pos_ < text_.size() && IsDigit(text_[pos_])) ++pos_;
    }
    const char* first = text_.data() + start;
    const char* last = text_.data() + pos_;
    if (integral) {
      int64_t n;
      const auto result = std::from_chars(first, last, n);
      if (result.ec == std::errc() && result.ptr == last) {
        out = n;
        return true;
      }
    }
    double x;
    const auto result = std::from_chars(first, last, x);
    if (result.ec == std::errc::result_out_of_range && negativeExponent) {
      out = *first == '-' ? -0.0 : 0.0;
      return true;
    }
    if (result.ec != std::errc() || result.ptr != last) return false;
    out = x;
    return true;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

std::string_view TrimRight(std::string_view text) {
  size_t end = text.size();
  while (end > 0 && static_cast<unsigned char>(text[end - 1]) <= ' ') --end;
  return text.substr(0, end);
}

// Whole text as a decimal integer, optionally signed.
bool TextToInteger(std::string_view text, int64_t& n) {
  if (text.empty()) return false;
  if (text.front() == '+') {
    text.remove_prefix(1);
    if (text.empty() || !IsDigit(text.front())) return false;
  }
  const auto result = std::from_chars(text.data(), text.data() + text.size(), n);
  return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

// Whole text as a decimal number with a point ("12", "-1.5", ".5", "2e3");
// no infinities, NaN or hexadecimal.
bool TextToDouble(std::string_view text, double& x) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return false;
  }
  std::string_view body = text;
  if (!body.empty() && body.front() == '-') body.remove_prefix(1);
  if (body.empty() || !(IsDigit(body.front()) || body.front() == '.')) return false;
  const auto result =
      std::from_chars(text.data(), text.data() + text.size(), x, std::chars_format::general);
  return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

int64_t RoundTiesToEven(double x) {
  double rounded = std::floor(x);
  const double fraction = x - rounded;
  if (fraction > 0.5 || (fraction == 0.5 && std::fmod(rounded, 2.0) != 0.0)) rounded += 1.0;
  // 2^63 is exactly representable; everything below it converts.
  if (!(rounded >= -9223372036854775808.0 && rounded < 9223372036854775808.0)) throw ERangeError();
  return static_cast<int64_t>(rounded);
}

}  // namespace

void JSONPut(TJSONValue& object, std::string_view path, TJSONValue value) {
  if (object.is_null()) object = TJSONValue::object();
  if (!object.is_object()) throw EConvertError("Cannot put \"" + std::string(path) + "\" into a value that is not an object");
  // The whole path is checked first so that a bad path changes nothing.
  ForEachName(path, [&](std::string_view name, bool last) {
    if (last && name == "[]") throw EConvertError("Invalid JSON path \"" + std::string(path) + "\"");
  });
  TJSONValue* current = &object;
  ForEachName(path, [&](std::string_view name, bool last) {
    const bool append = last && name.ends_with("[]");
    if (append) name.remove_suffix(2);
    TJSONValue* member = FindMember(*current, name);
    if (append) {
      if (member == nullptr) member = &AddMember(*current, name, TJSONValue::array());
      if (!member->is_array()) throw EConvertError("JSON member \"" + std::string(name) + "\" is not an array");
      member->get_ref<TArray&>().push_back(std::move(value));
    } else if (last) {
      if (member == nullptr) {
        AddMember(*current, name, std::move(value));
      } else {
        *member = std::move(value);
      }
    } else {
      if (member == nullptr) member = &AddMember(*current, name, TJSONValue::object());
      if (!member->is_object()) throw EConvertError("JSON member \"" + std::string(name) + "\" is not an object");
      current = member;
    }
  });
}

const TJSONValue* JSONGet(const TJSONValue& object, std::string_view path) {
  const TJSONValue* current = &object;
  size_t start = 0;
  for (;;) {
    const size_t dot = path.find('.', start);
    const std::string_view name =
        path.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    if (name.empty() || !current->is_object()) return nullptr;
    current = FindMember(*current, name);
    if (current == nullptr || dot == std::string_view::npos) return current;
    start = dot + 1;
  }
}

TJSONValue StrAsJSON(std::string_view text) { return TJSONValue(std::string(text)); }

TJSONValue IntAsJSON(int32_t n) { return TJSONValue(std::to_string(n)); }

TJSONValue FloatAsJSON(double x, char decimalSeparator) {
  return TJSONValue(FloatToGeneralText(x, decimalSeparator));
}

TJSONValue ElapsedSecondsAsJSON(TDateTime endTime, TDateTime startTime, char decimalSeparator) {
  double seconds = (endTime - startTime) * kSecondsPerDay;
  // Date-times hold whole milliseconds, but a day count near 45000 keeps
  // only about a microsecond of the time of day: one hour between two clock
  // readings would come out as 3600.0000004191. Rounding to the millisecond
  // gives back the exact span.
  if (std::fabs(seconds) < 1e12) seconds = std::round(seconds * 1000.0) / 1000.0;
  return FloatAsJSON(seconds, decimalSeparator);
}

TJSONValue SystemTimeAsJSON(const TSystemTime& t) {
  TJSONValue object = TJSONValue::object();
  AddMember(object, "Year", static_cast<int64_t>(t.wYear));
  AddMember(object, "Month", static_cast<int64_t>(t.wMonth));
  AddMember(object, "DayOfWeek", static_cast<int64_t>(t.wDayOfWeek));
  AddMember(object, "Day", static_cast<int64_t>(t.wDay));
  AddMember(object, "Hour", static_cast<int64_t>(t.wHour));
  AddMember(object, "Minute", static_cast<int64_t>(t.wMinute));
  AddMember(object, "Second", static_cast<int64_t>(t.wSecond));
  AddMember(object, "Milliseconds", static_cast<int64_t>(t.wMilliseconds));
  return object;
}

std::string FloatToGeneralText(double x, char decimalSeparator) {
  if (std::isnan(x)) return "NAN";
  if (std::isinf(x)) return x < 0 ? "-INF" : "INF";
  if (x == 0) return "0";
  // Whole numbers of up to 15 digits are their plain decimal digits.
  if (std::fabs(x) < 1e15 && x == std::trunc(x)) return std::to_string(static_cast<int64_t>(x));

  // "%.14e" rounds to 15 significant digits: d.dddddddddddddde[+-]XX.
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%.14e", x);
  const char* p = buffer;
  const bool negative = *p == '-';
  if (negative) ++p;
  // Only the digits are taken: the separator printf uses is the C library's
  // locale's, whatever it is.
  std::string digits;
  for (; *p != 'e'; ++p) {
    if (IsDigit(*p)) digits += *p;
  }
  const int exponent = std::atoi(p + 1);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

  const int integerDigits = exponent + 1;  // of the rounded value
  std::string text;
  if (negative) text += '-';
  if (integerDigits > 15 || integerDigits < -3) {
    text += digits[0];
    if (digits.size() > 1) {
      text += decimalSeparator;
      text.append(digits, 1);
    }
    text += 'E';
    text += std::to_string(exponent);
  } else if (integerDigits <= 0) {
    text += '0';
    text += decimalSeparator;
    text.append(static_cast<size_t>(-integerDigits), '0');
    text += digits;
  } else if (digits.size() <= static_cast<size_t>(integerDigits)) {
    text += digits;
    text.append(static_cast<size_t>(integerDigits) - digits.size(), '0');
  } else {
    text.append(digits, 0, static_cast<size_t>(integerDigits));
    text += decimalSeparator;
    text.append(digits, static_cast<size_t>(integerDigits));
  }
  return text;
}

std::string JSONWrite(const TJSONValue& value) {
  std::string text;
  JSONWriteTo(value, text);
  return text;
}

void JSONWriteTo(const TJSONValue& value, std::string& out) {
  out.reserve(out.size() + TextSize(value));
  WriteValue(value, out);
}

size_t JSONTextSize(const TJSONValue& value) { return TextSize(value); }

void JSONWriteString(std::string_view s, std::string& out) { WriteString(s, out); }

size_t JSONStringSize(std::string_view s) { return StringTextSize(s); }

std::optional<TJSONValue> JSONParse(std::string_view text) {
  TParser parser(text);
  parser.SkipSpace();
  if (!parser.BeginsLikeValue()) return TJSONValue(std::string(TrimRight(text)));
  TJSONValue value;
  if (!parser.ParseValue(value, 0)) return std::nullopt;
  return value;
}

bool AsBoolean(const TJSONValue& value) {
  switch (value.type()) {
    case TJSONValue::value_t::boolean:
      return value.get<bool>();
    case TJSONValue::value_t::number_integer:
      return value.get<int64_t>() != 0;
    case TJSONValue::value_t::number_unsigned:
      return value.get<uint64_t>() != 0;
    case TJSONValue::value_t::number_float:
      return value.get<double>() != 0.0;
    case TJSONValue::value_t::string:
      return !value.get_ref<const std::string&>().empty();
    case TJSONValue::value_t::object:
    case TJSONValue::value_t::array:
      return true;
    default:
      return false;
  }
}

int64_t AsInteger(const TJSONValue& value) {
  switch (value.type()) {
    case TJSONValue::value_t::boolean:
      return value.get<bool>() ? 1 : 0;
    case TJSONValue::value_t::number_integer:
      return value.get<int64_t>();
    case TJSONValue::value_t::number_unsigned: {
      const uint64_t n = value.get<uint64_t>();
      if (n > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) throw ERangeError();
      return static_cast<int64_t>(n);
    }
    case TJSONValue::value_t::number_float:
      return RoundTiesToEven(value.get<double>());
    case TJSONValue::value_t::string: {
      int64_t n;
      return TextToInteger(value.get_ref<const std::string&>(), n) ? n : 0;
    }
    default:
      return 0;
  }
}

double AsDouble(const TJSONValue& value) {
  switch (value.type()) {
    case TJSONValue::value_t::boolean:
      return value.get<bool>() ? 1.0 : 0.0;
    case TJSONValue::value_t::number_integer:
      return static_cast<double>(value.get<int64_t>());
    case TJSONValue::value_t::number_unsigned:
      return static_cast<double>(value.get<uint64_t>());
    case TJSONValue::value_t::number_float:
      return value.get<double>();
    case TJSONValue::value_t::string: {
      double x;
      return TextToDouble(value.get_ref<const std::string&>(), x) ? x : 0.0;
    }
    default:
      return 0.0;
  }
}

std::string AsString(const TJSONValue& value) {
  switch (value.type()) {
    case TJSONValue::value_t::boolean:
      return value.get<bool>() ? "true" : "false";
    case TJSONValue::value_t::number_integer:
      return std::to_string(value.get<int64_t>());
    case TJSONValue::value_t::number_unsigned:
      return std::to_string(value.get<uint64_t>());
    case TJSONValue::value_t::number_float:
      return FloatToGeneralText(value.get<double>(), '.');
    case TJSONValue::value_t::string:
      return value.get_ref<const std::string&>();
    case TJSONValue::value_t::object:
    case TJSONValue::value_t::array:
      return JSONWrite(value);
    default:
      return std::string();
  }
}
