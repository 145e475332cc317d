#include "model/Base64Encoder.h"

#include "Shared/Orvel_Shared/OrvelExceptions.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int DigitValue(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string TBase64Encoder::Encode(std::span<const uint8_t> data) const {
  std::string text;
  EncodeTo(data, text);
  return text;
}

void TBase64Encoder::EncodeTo(std::span<const uint8_t> data, std::string& out) const {
  const size_t start = out.size();
  out.resize(start + EncodedLength(data.size()));
  char* p = out.data() + start;
  size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    const uint32_t group = (uint32_t{data[i]} << 16) | (uint32_t{data[i + 1]} << 8) | data[i + 2];
    *p++ = kAlphabet[group >> 18];
    *p++ = kAlphabet[(group >> 12) & 0x3F];
    *p++ = kAlphabet[(group >> 6) & 0x3F];
    *p++ = kAlphabet[group & 0x3F];
  }
  const size_t rest = data.size() - i;
  if (rest > 0) {
    const uint32_t group = (uint32_t{data[i]} << 16) | (rest == 2 ? uint32_t{data[i + 1]} << 8 : 0);
    *p++ = kAlphabet[group >> 18];
    *p++ = kAlphabet[(group >> 12) & 0x3F];
    *p++ = rest == 2 ? kAlphabet[(group >> 6) & 0x3F] : '=';
    *p++ = '=';
  }
}

std::vector<uint8_t> TBase64Encoder::Decode(std::string_view text) const {
  if (text.size() % 4 != 0) throw EConvertError("Invalid Base64 text: length is not a multiple of 4");
  std::vector<uint8_t> data;
  data.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool lastGroup = i + 4 == text.size();
    int padding = 0;
    uint32_t group = 0;
    for (size_t k = 0; k < 4; ++k) {
      const char c = text[i + k];
      int value;
      if (c == '=' && lastGroup && k >= 2) {
        ++padding;
        value = 0;
      } else {
        value = padding > 0 ? -1 : DigitValue(c);
      }
      if (value < 0) throw EConvertError("Invalid Base64 text");
      group = (group << 6) | static_cast<uint32_t>(value);
    }
    data.push_back(static_cast<uint8_t>(group >> 16));
    if (padding < 2) data.push_back(static_cast<uint8_t>(group >> 8));
    if (padding < 1) data.push_back(static_cast<uint8_t>(group));
  }
  return data;
}
