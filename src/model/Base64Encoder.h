#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Standard Base64: alphabet A-Z a-z 0-9 "+" "/", "=" padding, no line breaks.
// The object holds no state; one encoder serves every record of a document.
class TBase64Encoder {
 public:
  std::string Encode(std::span<const uint8_t> data) const;
  // As Encode, appending to out.
  void EncodeTo(std::span<const uint8_t> data, std::string& out) const;
  // The bytes of Base64 text. Raises EConvertError for a length that is not a
  // multiple of 4, a character outside the alphabet or misplaced padding.
  std::vector<uint8_t> Decode(std::string_view text) const;

  // Characters of the Base64 text of size bytes.
  static constexpr size_t EncodedLength(size_t size) { return (size + 2) / 3 * 4; }
};
