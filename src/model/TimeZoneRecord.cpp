#include "model/TimeZoneRecord.h"

#include <vector>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUTF8(char32_t code, std::string& out) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// Code points of UTF-8 text; a byte that does not start a valid sequence, or
// an overlong, surrogate or out-of-range sequence, gives U+FFFD for its first
// byte and decoding goes on after it.
std::vector<char32_t> DecodeUTF8(const std::string& text) {
  std::vector<char32_t> codes;
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t length = 0;
    char32_t code = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
      length = 1, code = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, code = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, code = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, code = lead & 0x07, minimum = 0x10000;
    }
    bool valid = length > 0 && i + length <= text.size();
    for (size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) valid = false;
      code = (code << 6) | (next & 0x3F);
    }
    if (valid && (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))) {
      valid = false;
    }
    codes.push_back(valid ? code : kReplacement);
    i += valid ? length : 1;
  }
  return codes;
}

}  // namespace

std::string TimeZoneNameText(const std::array<char16_t, 32>& name) {
  std::string text;
  for (size_t i = 0; i < name.size() && name[i] != 0; ++i) {
    char32_t code = name[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 &&
        name[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (name[i + 1] - 0xDC00);
      ++i;
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = kReplacement;
    }
    AppendUTF8(code, text);
  }
  return text;
}

std::array<char16_t, 32> TimeZoneNameFromText(const std::string& text) {
  std::array<char16_t, 32> name{};
  size_t used = 0;
  for (const char32_t code : DecodeUTF8(text)) {
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
