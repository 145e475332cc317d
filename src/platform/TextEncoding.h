#pragma once

#include <cstdint>
#include <string>
#include <string_view>
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

}  // namespace platform
