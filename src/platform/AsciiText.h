#pragma once

#include <string>
#include <string_view>

// Byte-wise text helpers that treat only ASCII as letters and blanks, so that
// they give the same result for any 8-bit character set and for UTF-8.
// Thread-safe; never raise.

namespace platform {

// `text` without the blanks and control characters (bytes up to " ") at
// either end.
std::string TrimText(std::string_view text);

// `text` with the ASCII letters lowered (raised); every other byte unchanged.
std::string LowerAscii(std::string_view text);
std::string UpperAscii(std::string_view text);

// Whether `a` and `b` are equal when ASCII letters are compared without case
// (other bytes must match exactly).
bool SameTextAscii(std::string_view a, std::string_view b);

}  // namespace platform
