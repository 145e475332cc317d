// Character-set conversion through the system's code pages.
#include <cctype>
#include <cstdlib>
#include <map>

#include "platform/TextEncoding.h"
#include "platform/win32/Win32Text.h"

namespace platform {
namespace {

// IANA names (and the usual aliases) of the sets whose code page number is
// not in the name itself.
const std::map<std::string, UINT>& NamedCodePages() {
  static const std::map<std::string, UINT> pages = {
      {"UTF-8", CP_UTF8},      {"UTF8", CP_UTF8},         {"US-ASCII", 20127},   {"ASCII", 20127},
      {"SHIFT_JIS", 932},      {"SJIS", 932},             {"WINDOWS-31J", 932},  {"EUC-JP", 20932},
      {"EUC-KR", 51949},       {"KS_C_5601-1987", 949},   {"GBK", 936},          {"GB2312", 936},
      {"GB18030", 54936},      {"BIG5", 950},             {"KOI8-R", 20866},     {"KOI8-U", 21866},
      {"ISO-8859-8-I", 38598}, {"MACINTOSH", 10000},      {"IBM437", 437},       {"IBM850", 850},
      {"IBM852", 852},         {"IBM866", 866},           {"LATIN1", 28591},     {"L1", 28591},
  };
  return pages;
}

std::optional<UINT> CodePageOf(const std::string& charset) {
  std::string name;
  for (char c : charset) name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::optional<UINT> page;
  auto number = [&](std::size_t prefix) -> std::optional<UINT> {
    char* end = nullptr;
    const unsigned long value = std::strtoul(name.c_str() + prefix, &end, 10);
    if (end == name.c_str() + prefix || *end != '\0' || value == 0 || value > 65535) return std::nullopt;
    return static_cast<UINT>(value);
  };
  if (auto it = NamedCodePages().find(name); it != NamedCodePages().end()) {
    page = it->second;
  } else if (name.rfind("ISO-8859-", 0) == 0 || name.rfind("ISO8859-", 0) == 0) {
    if (auto part = number(name.find('-', 4) + 1); part && *part >= 1 && *part <= 16) page = 28590 + *part;
  } else if (name.rfind("WINDOWS-", 0) == 0) {
    page = number(8);
  } else if (name.rfind("CP", 0) == 0) {
    page = number(2);
  }
  if (!page || !IsValidCodePage(*page)) return std::nullopt;
  return page;
}

// The characters of `bytes`, or nothing when some byte is not valid in the set.
std::optional<std::wstring> DecodeStrict(UINT page, const char* bytes, int size) {
  const int length = MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, bytes, size, nullptr, 0);
  if (length <= 0) return std::nullopt;
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, bytes, size, wide.data(), length);
  return wide;
}

}  // namespace

std::optional<std::string> CharsetToUtf8(std::string_view bytes, const std::string& charset) {
  const std::optional<UINT> page = CodePageOf(charset);
  if (!page) return std::nullopt;
  if (bytes.empty()) return std::string();
  if (auto wide = DecodeStrict(*page, bytes.data(), static_cast<int>(bytes.size()))) return win32::Narrow(*wide);
  // Some byte is not valid: the system's own replacement would swallow the
  // byte after a lone lead byte, so the text is decoded one character at a
  // time, the shortest valid sequence first, and each byte that starts none
  // becomes U+FFFD.
  constexpr std::size_t kLongestCharacter = 4;
  std::wstring wide;
  for (std::size_t i = 0; i < bytes.size();) {
    std::size_t taken = 0;
    for (std::size_t length = 1; length <= kLongestCharacter && i + length <= bytes.size(); ++length) {
      if (auto one = DecodeStrict(*page, bytes.data() + i, static_cast<int>(length))) {
        wide += *one;
        taken = length;
        break;
      }
    }
    if (taken == 0) {
      wide += L'\xFFFD';
      taken = 1;
    }
    i += taken;
  }
  return win32::Narrow(wide);
}

std::optional<std::string> Utf8ToCharset(std::string_view utf8, const std::string& charset) {
  const std::optional<UINT> page = CodePageOf(charset);
  if (!page) return std::nullopt;
  const std::wstring wide = win32::Widen(RepairUtf8(utf8));
  if (wide.empty()) return std::string();
  // No best fit: a character the set lacks is "?", never a look-alike.
  const bool defaultAllowed = *page != CP_UTF8 && *page != 54936;
  const DWORD flags = defaultAllowed ? WC_NO_BEST_FIT_CHARS : 0;
  const char* fallback = defaultAllowed ? "?" : nullptr;
  const int size = static_cast<int>(wide.size());
  const int length = WideCharToMultiByte(*page, flags, wide.data(), size, nullptr, 0, fallback, nullptr);
  if (length <= 0) return std::nullopt;
  std::string text(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(*page, flags, wide.data(), size, text.data(), length, fallback, nullptr);
  return text;
}

unsigned SystemAnsiCodePage() {
  constexpr unsigned kFallback = 1252;
  const UINT page = GetACP();
  CPINFO info{};
  if (!GetCPInfo(page, &info) || info.MaxCharSize != 1) return kFallback;
  return page;
}

}  // namespace platform
