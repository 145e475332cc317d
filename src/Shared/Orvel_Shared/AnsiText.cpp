#include "Shared/Orvel_Shared/AnsiText.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>

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

// Writes each character of utf8 as the one byte byteOf gives for it; every
// byte of a malformed sequence becomes "?".
template <class F>
std::string Encode(std::string_view utf8, F byteOf) {
  std::string out;
  out.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    bool valid = true;
    const char32_t cp = platform::NextCodePoint(utf8, i, &valid);
    // A malformed sequence gives one "?" for its lead byte; the bytes after it
    // are examined afresh.
    out += valid ? byteOf(cp) : '?';
  }
  return out;
}

// Encode written over text itself: a character never takes more bytes in a
// single-byte code page than in UTF-8, so no second buffer is needed.
template <class F>
void EncodeInPlace(std::string& text, F byteOf) {
  // Leading ASCII stays where it is (every code page used here keeps ASCII).
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
    text[written++] = valid ? byteOf(cp) : '?';
  }
  text.resize(written);
}

constexpr unsigned kWindows1252 = 1252;
constexpr char32_t kReplacement = 0xFFFD;

// A single-byte code page other than Windows-1252, read once from the
// system's converter a byte at a time: the character of each byte (U+FFFD
// where the code page defines none) and the byte of each character. A
// character missing from the table has no byte of its own, so no look-alike
// ever stands in for it.
struct TCodePageTable {
  char32_t Characters[256] = {};
  std::unordered_map<char32_t, char> Bytes;

  char ByteOf(char32_t cp) const {
    const auto it = Bytes.find(cp);
    return it != Bytes.end() ? it->second : '?';
  }
};

// The only character that `bytes` decodes to in `charset`, U+FFFD when it
// decodes to none or to more than one.
std::optional<char32_t> DecodeOne(std::string_view bytes, const std::string& charset) {
  const std::optional<std::string> utf8 = platform::CharsetToUtf8(bytes, charset);
  if (!utf8) return std::nullopt;
  if (utf8->empty()) return kReplacement;
  size_t i = 0;
  const char32_t cp = platform::NextCodePoint(*utf8, i);
  return i == utf8->size() ? cp : kReplacement;
}

// The table of a code page, or nothing when the system has no converter for
// it, when it does not keep ASCII, or when it takes two bytes for some
// characters.
std::unique_ptr<TCodePageTable> ReadCodePage(unsigned codePage) {
  // "CP<number>" is the name both iconv and the Windows backend know for
  // every ANSI code page ("WINDOWS-932" is unknown to iconv).
  const std::string charset = "CP" + std::to_string(codePage);
  auto table = std::make_unique<TCodePageTable>();
  std::string undefined;
  for (int b = 0; b < 256; ++b) {
    const char byte = static_cast<char>(b);
    const std::optional<char32_t> cp = DecodeOne(std::string_view(&byte, 1), charset);
    if (!cp) return nullptr;
    if (b < 0x80 && *cp != static_cast<char32_t>(b)) return nullptr;
    table->Characters[b] = *cp;
    if (*cp == kReplacement) {
      undefined += byte;
    } else {
      table->Bytes.emplace(*cp, byte);
    }
  }
  // A byte that means nothing alone but one character together with the byte
  // after it leads a double-byte character. The trail bytes tried are valid
  // after a lead byte in each of the double-byte code pages.
  for (const char lead : undefined) {
    for (const char trail : {'\x41', '\x61', '\xA1', '\xB0'}) {
      const char pair[2] = {lead, trail};
      const std::optional<char32_t> cp = DecodeOne(std::string_view(pair, 2), charset);
      if (cp && *cp != kReplacement) return nullptr;
    }
  }
  return table;
}

// The table of a code page other than Windows-1252; nothing for a code page
// that is written as Windows-1252. Each code page is read once; the tables
// live until the program ends (the log may still write while statics are
// destroyed).
const TCodePageTable* TableOf(unsigned codePage) {
  if (codePage == kWindows1252) return nullptr;
  static std::mutex lock;
  static auto* tables = new std::map<unsigned, std::unique_ptr<TCodePageTable>>;
  std::lock_guard<std::mutex> guard(lock);
  auto [it, added] = tables->try_emplace(codePage);
  if (added) it->second = ReadCodePage(codePage);
  return it->second.get();
}

const TCodePageTable* SystemTable() {
  static const TCodePageTable* const table = TableOf(platform::SystemAnsiCodePage());
  return table;
}

std::string EncodeByTable(std::string_view utf8, const TCodePageTable* table) {
  if (table == nullptr) return Utf8ToAnsi(utf8);
  return Encode(utf8, [table](char32_t cp) { return table->ByteOf(cp); });
}

void EncodeInPlaceByTable(std::string& text, const TCodePageTable* table) {
  if (table == nullptr) return Utf8ToAnsiInPlace(text);
  EncodeInPlace(text, [table](char32_t cp) { return table->ByteOf(cp); });
}

std::string DecodeByTable(std::string_view bytes, const TCodePageTable* table) {
  if (table == nullptr) return AnsiToUtf8(bytes);
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) platform::AppendUtf8(out, table->Characters[static_cast<unsigned char>(c)]);
  return out;
}

bool HoldsByTable(char32_t code, const TCodePageTable* table) {
  if (table == nullptr) return AnsiHolds(code);
  return code == '?' || table->Bytes.count(code) != 0;
}

}  // namespace

bool AnsiHolds(char32_t code) { return code == '?' || ByteOfCodePoint(code) != '?'; }

std::string Utf8ToAnsi(std::string_view utf8) { return Encode(utf8, ByteOfCodePoint); }

void Utf8ToAnsiInPlace(std::string& text) { EncodeInPlace(text, ByteOfCodePoint); }

std::string AnsiToUtf8(std::string_view ansi) {
  std::string out;
  out.reserve(ansi.size());
  for (const char c : ansi) platform::AppendUtf8(out, CodePointOfByte(static_cast<unsigned char>(c)));
  return out;
}

unsigned UsableCodePage(unsigned codePage) { return TableOf(codePage) != nullptr ? codePage : kWindows1252; }

std::string Utf8ToCodePage(std::string_view utf8, unsigned codePage) { return EncodeByTable(utf8, TableOf(codePage)); }

void Utf8ToCodePageInPlace(std::string& text, unsigned codePage) { EncodeInPlaceByTable(text, TableOf(codePage)); }

std::string CodePageToUtf8(std::string_view bytes, unsigned codePage) { return DecodeByTable(bytes, TableOf(codePage)); }

bool CodePageHolds(char32_t code, unsigned codePage) { return HoldsByTable(code, TableOf(codePage)); }

std::string CodePageName(unsigned codePage) { return "Windows-" + std::to_string(codePage); }

unsigned AnsiCodePage() { return SystemTable() != nullptr ? platform::SystemAnsiCodePage() : kWindows1252; }

std::string Utf8ToSystemAnsi(std::string_view utf8) { return EncodeByTable(utf8, SystemTable()); }

void Utf8ToSystemAnsiInPlace(std::string& text) { EncodeInPlaceByTable(text, SystemTable()); }

std::string SystemAnsiToUtf8(std::string_view ansi) { return DecodeByTable(ansi, SystemTable()); }

bool SystemAnsiHolds(char32_t code) { return HoldsByTable(code, SystemTable()); }
