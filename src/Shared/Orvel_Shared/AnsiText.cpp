#include "Shared/Orvel_Shared/AnsiText.h"

#include <cstdint>

#include "platform/TextEncoding.h"

namespace {

// Code points of the bytes 0x80..0x9F; 0 marks the bytes the code page leaves
// undefined, which read back as the C1 control of the same number.
constexpr char32_t kHighControls[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

char32_t CodePointOfByte(unsigned char byte) {
  if (byte >= 0x80 && byte <= 0x9F) {
    const char32_t mapped = kHighControls[byte - 0x80];
    return mapped != 0 ? mapped : byte;
  }
  return byte;
}

char ByteOfCodePoint(char32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<char>(cp);
  for (int i = 0; i < 32; ++i) {
    if (kHighControls[i] == cp || (kHighControls[i] == 0 && cp == static_cast<char32_t>(0x80 + i)))
      return static_cast<char>(0x80 + i);
  }
  return '?';
}

}  // namespace

bool AnsiHolds(char32_t code) { return code == '?' || ByteOfCodePoint(code) != '?'; }

std::string Utf8ToAnsi(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    bool valid = true;
    const char32_t cp = platform::NextCodePoint(utf8, i, &valid);
    // A malformed sequence gives one "?" for its lead byte; the bytes after it
    // are examined afresh.
    out += valid ? ByteOfCodePoint(cp) : '?';
  }
  return out;
}

void Utf8ToAnsiInPlace(std::string& text) {
  // Leading ASCII stays where it is.
  size_t i = 0;
  while (i < text.size() && static_cast<unsigned char>(text[i]) < 0x80) ++i;
  size_t written = i;
  const std::string_view utf8 = text;
  while (i < utf8.size()) {
    if (static_cast<unsigned char>(utf8[i]) < 0x80) {
      text[written++] = utf8[i++];
      continue;
    }
    // The sequence is read before its byte is written: written never passes i.
    bool valid = true;
    const char32_t cp = platform::NextCodePoint(utf8, i, &valid);
    text[written++] = valid ? ByteOfCodePoint(cp) : '?';
  }
  text.resize(written);
}

std::string AnsiToUtf8(std::string_view ansi) {
  std::string out;
  out.reserve(ansi.size());
  for (const char c : ansi) platform::AppendUtf8(out, CodePointOfByte(static_cast<unsigned char>(c)));
  return out;
}
