#include "support/HiveText.h"

#include <cstdio>

using platform::RegistryValue;
using platform::RegistryValueType;

namespace {

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string ValueName(const std::string& name) { return name.empty() ? "@" : Quoted(name); }

std::string HexByte(std::uint8_t byte) {
  char digits[3];
  std::snprintf(digits, sizeof digits, "%02x", byte);
  return digits;
}

}  // namespace

HiveText& HiveText::Key(const std::string& key) {
  text_ += "\n[HKEY_LOCAL_MACHINE\\" + key + "]\n";
  return *this;
}

HiveText& HiveText::String(const std::string& name, const std::string& text) {
  text_ += ValueName(name) + "=" + Quoted(text) + "\n";
  return *this;
}

HiveText& HiveText::DWord(const std::string& name, std::uint32_t number) {
  char digits[9];
  std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(number));
  text_ += ValueName(name) + "=dword:" + digits + "\n";
  return *this;
}

HiveText& HiveText::Value(const std::string& name, const RegistryValue& value) {
  if (value.type == RegistryValueType::String) {
    const std::string text = value.AsText();
    if (text.find_first_of("\r\n") == std::string::npos && RegistryValue::Text(text) == value) return String(name, text);
  }
  if (value.type == RegistryValueType::DWord && value.data.size() == 4) {
    return DWord(name, static_cast<std::uint32_t>(value.data[0]) | static_cast<std::uint32_t>(value.data[1]) << 8 |
                           static_cast<std::uint32_t>(value.data[2]) << 16 |
                           static_cast<std::uint32_t>(value.data[3]) << 24);
  }
  std::string line = ValueName(name) + "=hex";
  if (value.type != RegistryValueType::Binary) {
    char type[16];
    std::snprintf(type, sizeof type, "(%x)", static_cast<unsigned>(value.type));
    line += type;
  }
  line += ":";
  for (std::size_t i = 0; i < value.data.size(); ++i) line += (i > 0 ? "," : "") + HexByte(value.data[i]);
  text_ += line + "\n";
  return *this;
}

HiveText& HiveText::Line(const std::string& line) {
  text_ += line + "\n";
  return *this;
}
