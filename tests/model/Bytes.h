#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

// Bytes as lower-case hex pairs separated by blanks: "02 00 09 00".
inline std::string HexBytes(std::span<const uint8_t> bytes) {
  std::string text;
  char pair[4];
  for (const uint8_t b : bytes) {
    if (!text.empty()) text += ' ';
    std::snprintf(pair, sizeof pair, "%02x", b);
    text += pair;
  }
  return text;
}
