#include "platform/RegFileFormat.h"

#include <cstdio>

#include "platform/AsciiText.h"
#include "platform/TextEncoding.h"

namespace platform::regfile {
namespace {

constexpr const char* kHeader = "Windows Registry Editor Version 5.00";
constexpr const char* kRootName = "HKEY_LOCAL_MACHINE";
constexpr std::size_t kLineWidth = 80;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string TrimBlanks(const std::string& s) {
  std::size_t begin = 0;
  std::size_t end = s.size();
  while (begin < end && IsBlank(s[begin])) ++begin;
  while (end > begin && IsBlank(s[end - 1])) --end;
  return s.substr(begin, end - begin);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

class Parser {
 public:
  explicit Parser(const std::string& fileName) : fileName_(fileName) {}

  [[noreturn]] void Fail(int line, const std::string& problem) const {
    throw RegistryError("Malformed registry file " + fileName_ + ", line " +
                        std::to_string(line) + ": " + problem);
  }

  // A quoted text starting at `pos` (at the opening quote); `pos` ends after
  // the closing quote. Inside, "\\" stands for "\" and "\"" for a quote.
  std::string QuotedText(const std::string& text, std::size_t& pos, int line) const {
    std::string out;
    ++pos;
    while (pos < text.size()) {
      char c = text[pos];
      if (c == '"') {
        ++pos;
        return out;
      }
      if (c == '\\' && pos + 1 < text.size() && (text[pos + 1] == '\\' || text[pos + 1] == '"')) {
        out += text[pos + 1];
        pos += 2;
        continue;
      }
      out += c;
      ++pos;
    }
    Fail(line, "missing closing quote");
  }

  std::vector<std::uint8_t> HexBytes(const std::string& text, int line) const {
    std::vector<std::uint8_t> bytes;
    std::size_t pos = 0;
    std::string rest = TrimBlanks(text);
    if (rest.empty()) return bytes;
    while (true) {
      while (pos < rest.size() && IsBlank(rest[pos])) ++pos;
      std::size_t start = pos;
      while (pos < rest.size() && HexDigit(rest[pos]) >= 0) ++pos;
      std::size_t digits = pos - start;
      if (digits == 0 || digits > 2) Fail(line, "expected a two-digit hexadecimal byte");
      int value = 0;
      for (std::size_t k = start; k < pos; ++k) value = value * 16 + HexDigit(rest[k]);
      bytes.push_back(static_cast<std::uint8_t>(value));
      while (pos < rest.size() && IsBlank(rest[pos])) ++pos;
      if (pos == rest.size()) return bytes;
      if (rest[pos] != ',') Fail(line, "expected \",\" between hexadecimal bytes");
      ++pos;
    }
  }

  // Applies one value line to `key`.
  void ValueLine(const std::string& text, int line, HiveKey* key) const {
    std::size_t pos = 0;
    std::string name;
    if (text[0] == '@') {
      pos = 1;
    } else {
      name = QuotedText(text, pos, line);
    }
    while (pos < text.size() && IsBlank(text[pos])) ++pos;
    if (pos >= text.size() || text[pos] != '=') Fail(line, "expected \"=\" after the value name");
    ++pos;
    while (pos < text.size() && IsBlank(text[pos])) ++pos;
    if (key == nullptr) Fail(line, "value outside of a key section");
    std::string data = text.substr(pos);

    if (!data.empty() && data[0] == '"') {
      std::size_t end = 0;
      std::string value = QuotedText(data, end, line);
      if (!TrimBlanks(data.substr(end)).empty()) Fail(line, "unexpected text after the closing quote");
      key->SetValue(name, RegistryValue::Text(value));
      return;
    }
    if (TrimBlanks(data) == "-") {
      key->RemoveValue(name);
      return;
    }
    std::string lower = FoldCase(data);
    if (lower.rfind("dword:", 0) == 0) {
      std::string digits = TrimBlanks(data.substr(6));
      if (digits.empty() || digits.size() > 8) Fail(line, "expected up to 8 hexadecimal digits after \"dword:\"");
      std::uint32_t number = 0;
      for (char c : digits) {
        int d = HexDigit(c);
        if (d < 0) Fail(line, "expected up to 8 hexadecimal digits after \"dword:\"");
        number = number * 16 + static_cast<std::uint32_t>(d);
      }
      key->SetValue(name, RegistryValue::DWord(number));
      return;
    }
    if (lower.rfind("hex", 0) == 0) {
      std::size_t colon = data.find(':');
      if (colon == std::string::npos) Fail(line, "expected \":\" after \"hex\"");
      std::string kind = TrimBlanks(data.substr(3, colon - 3));
      RegistryValue value;
      if (kind.empty()) {
        value.type = RegistryValueType::Binary;
      } else {
        if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')' || kind.size() > 10)
          Fail(line, "expected \"hex:\" or \"hex(type):\"");
        std::uint32_t type = 0;
        for (std::size_t k = 1; k + 1 < kind.size(); ++k) {
          int d = HexDigit(kind[k]);
          if (d < 0) Fail(line, "expected a hexadecimal type number in \"hex(type):\"");
          type = type * 16 + static_cast<std::uint32_t>(d);
        }
        value.type = static_cast<RegistryValueType>(type);
      }
      value.data = HexBytes(data.substr(colon + 1), line);
      key->SetValue(name, value);
      return;
    }
    Fail(line, "expected a quoted text, \"dword:\", \"hex:\" or \"-\" after \"=\"");
  }

  HiveKey* SectionLine(const std::string& text, int line, HiveKey& root) const {
    if (text.back() != ']') Fail(line, "expected \"]\" at the end of the key name");
    std::string path = text.substr(1, text.size() - 2);
    bool remove = !path.empty() && path[0] == '-';
    if (remove) path.erase(0, 1);
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
      std::size_t end = path.find('\\', start);
      parts.push_back(path.substr(start, end == std::string::npos ? std::string::npos : end - start));
      if (end == std::string::npos) break;
      start = end + 1;
    }
    if (FoldCase(parts[0]) != FoldCase(kRootName))
      Fail(line, "key \"" + path + "\" is not under " + kRootName);
    for (std::size_t k = 1; k < parts.size(); ++k)
      if (parts[k].empty()) Fail(line, "empty key name in \"" + path + "\"");
    if (remove) {
      if (parts.size() == 1) Fail(line, "the root key cannot be deleted");
      HiveKey* parent = &root;
      for (std::size_t k = 1; parent != nullptr && k + 1 < parts.size(); ++k)
        parent = parent->FindSubKey(parts[k]);
      if (parent != nullptr) parent->subkeys.erase(FoldCase(parts.back()));
      return nullptr;
    }
    HiveKey* key = &root;
    for (std::size_t k = 1; k < parts.size(); ++k) key = &key->AddSubKey(parts[k]);
    return key;
  }

 private:
  std::string fileName_;
};

void AppendQuoted(std::string& out, const std::string& text) {
  out += '"';
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
}

// A String value whose data is one NUL-terminated text that reads back to the
// same bytes and fits on one line can be written as a quoted text.
bool QuotableText(const RegistryValue& value, std::string& text) {
  if (value.type != RegistryValueType::String) return false;
  text = value.AsText();
  if (text.find_first_of("\r\n") != std::string::npos) return false;
  return RegistryValue::Text(text).data == value.data;
}

void AppendHex(std::string& out, std::string line, const std::vector<std::uint8_t>& data) {
  char digits[4];
  for (std::size_t i = 0; i < data.size(); ++i) {
    std::snprintf(digits, sizeof digits, "%02x", data[i]);
    std::string piece = digits;
    if (i + 1 < data.size()) piece += ',';
    if (line.size() + piece.size() + 1 > kLineWidth - 2 && line.size() > 2) {
      out += line + "\\\r\n";
      line = "  ";
    }
    line += piece;
  }
  out += line + "\r\n";
}

void AppendValue(std::string& out, const std::string& name, const RegistryValue& value) {
  std::string line;
  if (name.empty()) {
    line = "@";
  } else {
    AppendQuoted(line, name);
  }
  line += '=';
  std::string text;
  if (QuotableText(value, text)) {
    AppendQuoted(line, text);
    out += line + "\r\n";
    return;
  }
  if (value.type == RegistryValueType::DWord && value.data.size() == 4) {
    char digits[16];
    std::uint32_t number = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                           (static_cast<std::uint32_t>(value.data[3]) << 24);
    std::snprintf(digits, sizeof digits, "dword:%08x", number);
    out += line + digits + "\r\n";
    return;
  }
  if (value.type == RegistryValueType::Binary) {
    line += "hex:";
  } else {
    char kind[24];
    std::snprintf(kind, sizeof kind, "hex(%x):", static_cast<unsigned>(value.type));
    line += kind;
  }
  AppendHex(out, line, value.data);
}

void AppendKey(std::string& out, const HiveKey& key, const std::string& path, bool isRoot) {
  if (!isRoot || !key.values.empty()) {
    out += "[" + path + "]\r\n";
    for (const auto& [name, value] : key.values) AppendValue(out, name, value);
    out += "\r\n";
  }
  for (const auto& [folded, subkey] : key.subkeys)
    AppendKey(out, *subkey, path + "\\" + subkey->name, false);
}

}  // namespace

std::string FoldCase(const std::string& name) { return LowerAscii(name); }

HiveKey* HiveKey::FindSubKey(const std::string& subName) const {
  auto found = subkeys.find(FoldCase(subName));
  return found == subkeys.end() ? nullptr : found->second.get();
}

HiveKey& HiveKey::AddSubKey(const std::string& subName) {
  std::unique_ptr<HiveKey>& slot = subkeys[FoldCase(subName)];
  if (!slot) {
    slot = std::make_unique<HiveKey>();
    slot->name = subName;
  }
  return *slot;
}

RegistryValue* HiveKey::FindValue(const std::string& valueName) {
  std::string folded = FoldCase(valueName);
  for (auto& [existing, value] : values)
    if (FoldCase(existing) == folded) return &value;
  return nullptr;
}

void HiveKey::SetValue(const std::string& valueName, const RegistryValue& value) {
  if (RegistryValue* existing = FindValue(valueName)) {
    *existing = value;
  } else {
    values.emplace_back(valueName, value);
  }
}

bool HiveKey::RemoveValue(const std::string& valueName) {
  std::string folded = FoldCase(valueName);
  for (auto it = values.begin(); it != values.end(); ++it) {
    if (FoldCase(it->first) == folded) {
      values.erase(it);
      return true;
    }
  }
  return false;
}

std::unique_ptr<HiveKey> Parse(const std::string& content, const std::string& fileName) {
  std::string text;
  if (content.size() >= 2 && static_cast<unsigned char>(content[0]) == 0xFF &&
      static_cast<unsigned char>(content[1]) == 0xFE) {
    text = Utf16LeToUtf8(reinterpret_cast<const std::uint8_t*>(content.data()) + 2,
                         content.size() - 2);
  } else if (content.rfind("\xEF\xBB\xBF", 0) == 0) {
    text = content.substr(3);
  } else {
    text = content;
  }

  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }

  Parser parser(fileName);
  auto root = std::make_unique<HiveKey>();
  root->name = kRootName;
  HiveKey* current = nullptr;
  bool headerSeen = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    int lineNumber = static_cast<int>(i) + 1;
    std::string line = TrimBlanks(lines[i]);
    if (line.empty()) continue;
    if (!IsValidUtf8(line)) parser.Fail(lineNumber, "text is not valid UTF-8");
    if (!headerSeen) {
      if (line != kHeader) parser.Fail(lineNumber, std::string("expected \"") + kHeader + "\"");
      headerSeen = true;
      continue;
    }
    if (line[0] == ';') continue;
    if (line[0] == '[') {
      current = parser.SectionLine(line, lineNumber, *root);
      continue;
    }
    if (line[0] != '"' && line[0] != '@') parser.Fail(lineNumber, "expected a key section or a value");
    // A value whose data goes on over further lines ends each line with "\".
    while (line.back() == '\\' && i + 1 < lines.size()) {
      line.pop_back();
      line += TrimBlanks(lines[++i]);
    }
    parser.ValueLine(line, lineNumber, current);
  }
  return root;
}

std::string Format(const HiveKey& root) {
  std::string out = std::string(kHeader) + "\r\n\r\n";
  AppendKey(out, root, kRootName, true);
  return out;
}

}  // namespace platform::regfile
