#include "model/TimeZoneRecord.h"

#include <cstdint>
#include <vector>

#include "platform/TextEncoding.h"

std::string TimeZoneNameText(const std::array<char16_t, 32>& name) {
  std::vector<std::uint8_t> units;
  for (size_t i = 0; i < name.size() && name[i] != 0; ++i) {
    units.push_back(static_cast<std::uint8_t>(name[i] & 0xFF));
    units.push_back(static_cast<std::uint8_t>(name[i] >> 8));
  }
  return platform::Utf16LeToUtf8(units.data(), units.size());
}

std::array<char16_t, 32> TimeZoneNameFromText(const std::string& text) {
  std::array<char16_t, 32> name{};
  size_t used = 0;
  for (size_t i = 0; i < text.size();) {
    const char32_t code = platform::NextCodePoint(text, i);
    if (code >= 0x10000) {
      if (used + 2 > name.size() - 1) break;
      name[used++] = static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
      name[used++] = static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      if (used + 1 > name.size() - 1) break;
      name[used++] = static_cast<char16_t>(code);
    }
  }
  return name;
}
