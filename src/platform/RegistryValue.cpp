#include "platform/Registry.h"
#include "platform/TextEncoding.h"

namespace platform {

RegistryValue RegistryValue::Text(const std::string& text, RegistryValueType type) {
  RegistryValue value;
  value.type = type;
  value.data = Utf8ToUtf16Le(text);
  value.data.push_back(0);
  value.data.push_back(0);
  return value;
}

RegistryValue RegistryValue::MultiText(const std::vector<std::string>& texts) {
  RegistryValue value;
  value.type = RegistryValueType::MultiString;
  for (const std::string& text : texts) {
    std::vector<std::uint8_t> units = Utf8ToUtf16Le(text);
    value.data.insert(value.data.end(), units.begin(), units.end());
    value.data.push_back(0);
    value.data.push_back(0);
  }
  value.data.push_back(0);
  value.data.push_back(0);
  return value;
}

RegistryValue RegistryValue::DWord(std::uint32_t number) {
  RegistryValue value;
  value.type = RegistryValueType::DWord;
  for (int i = 0; i < 4; ++i) value.data.push_back(static_cast<std::uint8_t>(number >> (8 * i)));
  return value;
}

RegistryValue RegistryValue::QWord(std::uint64_t number) {
  RegistryValue value;
  value.type = RegistryValueType::QWord;
  for (int i = 0; i < 8; ++i) value.data.push_back(static_cast<std::uint8_t>(number >> (8 * i)));
  return value;
}

RegistryValue RegistryValue::Binary(std::vector<std::uint8_t> bytes) {
  RegistryValue value;
  value.type = RegistryValueType::Binary;
  value.data = std::move(bytes);
  return value;
}

std::string RegistryValue::AsText() const {
  std::size_t end = 0;
  while (end + 1 < data.size() && (data[end] != 0 || data[end + 1] != 0)) end += 2;
  if (end + 1 >= data.size()) end = data.size();
  return Utf16LeToUtf8(data.data(), end);
}

std::vector<std::string> RegistryValue::AsTexts() const {
  std::vector<std::string> texts;
  std::size_t start = 0;
  std::size_t units = data.size() / 2;
  for (std::size_t i = 0; i <= units; ++i) {
    bool atEnd = i == units;
    if (atEnd || (data[2 * i] == 0 && data[2 * i + 1] == 0)) {
      if (i == start) break;  // an empty text ends the sequence
      texts.push_back(Utf16LeToUtf8(data.data() + 2 * start, 2 * (i - start)));
      start = i + 1;
      if (atEnd) break;
    }
  }
  return texts;
}

std::vector<std::string> RegistryKeyPathParts(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

}  // namespace platform
