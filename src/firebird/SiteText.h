#pragma once

#include <string>
#include <string_view>

// Text of the site database in the character sets Firebird declares for its
// columns and parameters, to and from the UTF-8 the program works in. A
// character set is given by its Firebird number (RDB$CHARACTER_SET_ID).
//
//   NONE, OCTETS, ASCII, WIN1252  Windows-1252, the ANSI code page of the
//                                 site product's platform
//   UTF8, UNICODE_FSS             UTF-8
//   ISO8859_1                     Latin-1
//   any other set                 the system's converter for it
//
// Reading never raises and never drops or shifts a character: a byte that is
// not valid in its set becomes U+FFFD. A set the system cannot convert reads
// its ASCII bytes as they are and every other byte as U+FFFD.
//
// Writing never raises: a character the set cannot hold becomes "?".

namespace SiteCharset {
constexpr unsigned kNone = 0;
constexpr unsigned kOctets = 1;
constexpr unsigned kAscii = 2;
constexpr unsigned kUnicodeFss = 3;
constexpr unsigned kUtf8 = 4;
constexpr unsigned kIso8859_1 = 21;
constexpr unsigned kWin1251 = 52;
constexpr unsigned kWin1252 = 53;
}  // namespace SiteCharset

// Firebird's name of the character set ("WIN1252"), or "" for a number
// Firebird does not define.
std::string SiteCharsetName(unsigned charset);

std::string SiteTextToUtf8(std::string_view bytes, unsigned charset);
std::string Utf8ToSiteText(std::string_view utf8, unsigned charset);
