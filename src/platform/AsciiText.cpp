#include "platform/AsciiText.h"

namespace platform {

namespace {

char LowerAsciiChar(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

char UpperAsciiChar(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

std::string TrimText(std::string_view text) {
  const auto blankOrControl = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && blankOrControl(text[begin])) ++begin;
  while (end > begin && blankOrControl(text[end - 1])) --end;
  return std::string(text.substr(begin, end - begin));
}

std::string LowerAscii(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) c = LowerAsciiChar(c);
  return lowered;
}

std::string UpperAscii(std::string_view text) {
  std::string raised(text);
  for (char& c : raised) c = UpperAsciiChar(c);
  return raised;
}

bool SameTextAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAsciiChar(a[i]) != LowerAsciiChar(b[i])) return false;
  }
  return true;
}

}  // namespace platform
