#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Conversions between UTF-8 and UTF-16LE. Malformed input never raises: each
// byte or unit that cannot be decoded becomes U+FFFD.

namespace platform {

std::vector<std::uint8_t> Utf8ToUtf16Le(const std::string& text);
std::string Utf16LeToUtf8(const std::uint8_t* data, std::size_t size);
// Whether `text` is well-formed UTF-8.
bool IsValidUtf8(const std::string& text);

}  // namespace platform
