#include "platform/VersionBlockFormat.h"

#include <algorithm>
#include <array>

namespace platform {
namespace {

// The block's marker, "DC_VERSION_INFO" and a NUL, kept scrambled so that the
// program that scans for blocks does not carry the marker itself.
constexpr std::array<unsigned char, 16> kScrambledMarker = {
    'D' ^ 0x5A, 'C' ^ 0x5A, '_' ^ 0x5A, 'V' ^ 0x5A, 'E' ^ 0x5A, 'R' ^ 0x5A, 'S' ^ 0x5A, 'I' ^ 0x5A,
    'O' ^ 0x5A, 'N' ^ 0x5A, '_' ^ 0x5A, 'I' ^ 0x5A, 'N' ^ 0x5A, 'F' ^ 0x5A, 'O' ^ 0x5A, 0 ^ 0x5A};
constexpr std::size_t kMaxTranslations = 64;

std::string Marker() {
  std::string marker;
  for (unsigned char c : kScrambledMarker) marker += static_cast<char>(c ^ 0x5A);
  return marker;
}

// Reads a NUL-terminated text at `pos` (advancing past the NUL); false when the
// text runs past `end`, or, for a `name`, holds control characters.
bool ReadText(const std::string& data, std::size_t& pos, std::size_t end, bool name, std::string& text) {
  std::size_t stop = data.find('\0', pos);
  if (stop == std::string::npos || stop >= end) return false;
  text = data.substr(pos, stop - pos);
  if (name)
    for (char c : text)
      if (static_cast<unsigned char>(c) < 0x20) return false;
  pos = stop + 1;
  return true;
}

// The block whose marker ends at `pos`, when the bytes there form one.
std::optional<VersionBlock> ParseBlock(const std::string& data, std::size_t pos) {
  std::size_t end = std::min(data.size(), pos + kMaxVersionBlockSize);
  auto u16 = [&](std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(data[at]) |
                                      (static_cast<unsigned char>(data[at + 1]) << 8));
  };
  if (pos + 2 > end) return std::nullopt;
  std::size_t count = u16(pos);
  pos += 2;
  if (count > kMaxTranslations || pos + 4 * count > end) return std::nullopt;
  VersionBlock block;
  for (std::size_t i = 0; i < count; ++i, pos += 4) block.translations.emplace_back(u16(pos), u16(pos + 2));
  while (true) {
    std::string key;
    if (!ReadText(data, pos, end, true, key)) return std::nullopt;
    if (key.empty()) return block;
    std::string value;
    if (!ReadText(data, pos, end, false, value)) return std::nullopt;
    block.strings[key] = value;
  }
}

}  // namespace

std::optional<VersionBlock> VersionBlockAtStart(const std::string& data) {
  const std::string marker = Marker();
  if (data.compare(0, marker.size(), marker) != 0) return std::nullopt;
  return ParseBlock(data, marker.size());
}

std::optional<VersionBlock> FindVersionBlock(const std::string& data) {
  const std::string marker = Marker();
  std::size_t pos = 0;
  while ((pos = data.find(marker, pos)) != std::string::npos) {
    pos += marker.size();
    if (std::optional<VersionBlock> block = ParseBlock(data, pos)) return block;
  }
  return std::nullopt;
}

std::vector<std::uint8_t> EncodeVersionBlock(const VersionBlock& block) {
  std::string marker = Marker();
  std::vector<std::uint8_t> bytes(marker.begin(), marker.end());
  auto put16 = [&](std::uint16_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(value >> 8));
  };
  put16(static_cast<std::uint16_t>(block.translations.size()));
  for (const auto& [language, codePage] : block.translations) {
    put16(language);
    put16(codePage);
  }
  auto putText = [&](const std::string& text) {
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.push_back(0);
  };
  for (const auto& [key, value] : block.strings) {
    putText(key);
    putText(value);
  }
  bytes.push_back(0);
  return bytes;
}

}  // namespace platform
