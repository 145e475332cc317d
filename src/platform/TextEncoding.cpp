#include "platform/TextEncoding.h"

namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUnit(std::vector<std::uint8_t>& out, char32_t unit) {
  out.push_back(static_cast<std::uint8_t>(unit & 0xFF));
  out.push_back(static_cast<std::uint8_t>(unit >> 8));
}

}  // namespace

char32_t NextCodePoint(std::string_view text, std::size_t& i, bool* valid) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  auto malformed = [&]() {
    ++i;
    if (valid != nullptr) *valid = false;
    return kReplacement;
  };
  unsigned char lead = byte(i);
  if (lead < 0x80) {
    ++i;
    return lead;
  }
  int length = 0;
  char32_t code = 0;
  char32_t minimum = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, code = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, code = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, code = lead & 0x07, minimum = 0x10000;
  } else {
    return malformed();
  }
  if (i + length > text.size()) return malformed();
  for (int k = 1; k < length; ++k) {
    unsigned char next = byte(i + k);
    if ((next & 0xC0) != 0x80) return malformed();
    code = (code << 6) | (next & 0x3F);
  }
  if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return malformed();
  i += length;
  return code;
}

void AppendUtf8(std::string& out, char32_t code) {
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

std::vector<std::uint8_t> Utf8ToUtf16Le(const std::string& text) {
  std::vector<std::uint8_t> out;
  out.reserve(text.size() * 2);
  for (std::size_t i = 0; i < text.size();) {
    char32_t code = NextCodePoint(text, i);
    if (code >= 0x10000) {
      code -= 0x10000;
      AppendUnit(out, 0xD800 + (code >> 10));
      AppendUnit(out, 0xDC00 + (code & 0x3FF));
    } else {
      AppendUnit(out, code);
    }
  }
  return out;
}

std::string Utf16LeToUtf8(const std::uint8_t* data, std::size_t size) {
  std::string out;
  out.reserve(size / 2);
  std::size_t units = size / 2;
  for (std::size_t i = 0; i < units; ++i) {
    char32_t unit = data[2 * i] | (data[2 * i + 1] << 8);
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units) {
      char32_t low = data[2 * i + 2] | (data[2 * i + 3] << 8);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    AppendUtf8(out, (unit >= 0xD800 && unit <= 0xDFFF) ? kReplacement : unit);
  }
  if (size % 2 != 0) AppendUtf8(out, kReplacement);
  return out;
}

std::string RepairUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t start = i;
    bool valid = true;
    const char32_t code = NextCodePoint(text, i, &valid);
    if (valid) {
      out.append(text, start, i - start);
    } else {
      AppendUtf8(out, code);
    }
  }
  return out;
}

bool IsValidUtf8(const std::string& text) {
  bool valid = true;
  for (std::size_t i = 0; i < text.size() && valid;) NextCodePoint(text, i, &valid);
  return valid;
}

}  // namespace platform
