#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <optional>
#include <vector>

// Conversions between UTF-8 and UTF-16LE. Malformed input never raises: each
// byte or unit that cannot be decoded becomes U+FFFD.

namespace platform {

std::vector<std::uint8_t> Utf8ToUtf16Le(const std::string& text);
std::string Utf16LeToUtf8(const std::uint8_t* data, std::size_t size);
// Appends the UTF-8 form of `code` (at most U+10FFFF) to `out`.
void AppendUtf8(std::string& out, char32_t code);
// Decodes the code point that starts at byte `i` of `text` (i < text.size())
// and advances `i` past it. A malformed, overlong, surrogate or out-of-range
// sequence gives U+FFFD and advances `i` by one byte only, so decoding resumes
// at the byte after its lead; `*valid` is then set to false (and left alone
// otherwise).
char32_t NextCodePoint(std::string_view text, std::size_t& i, bool* valid = nullptr);
// Whether `text` is well-formed UTF-8.
bool IsValidUtf8(const std::string& text);
// `text` with every malformed sequence replaced as NextCodePoint does (one
// U+FFFD per byte that cannot be decoded).
std::string RepairUtf8(std::string_view text);

// Conversion through the system's character-set converters, for sets that
// have no table of their own here. `charset` is an IANA name ("ISO-8859-2",
// "SHIFT_JIS", "WINDOWS-1251"). Both return nothing when the system has no
// converter for the set; both are thread-safe and never raise.
//
// Bytes that are not valid in the set become U+FFFD, one for each byte that
// cannot start a character, so the characters after them keep their places.
std::optional<std::string> CharsetToUtf8(std::string_view bytes, const std::string& charset);
// A character the set cannot hold becomes "?"; malformed UTF-8 is read as
// RepairUtf8 reads it.
std::optional<std::string> Utf8ToCharset(std::string_view utf8, const std::string& charset);

// The number of the system's ANSI code page, the one its plain-text files are
// written in. A code page that takes more than one byte for a character gives
// 1252: the texts written in it are single-byte.
unsigned SystemAnsiCodePage();

}  // namespace platform
