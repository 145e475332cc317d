#include "platform/Processes.h"

namespace platform {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::string ImageFileName(const std::string& path) {
  std::size_t last = path.find_last_of("/\\:");
  return last == std::string::npos ? path : path.substr(last + 1);
}

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
  std::vector<std::string> arguments;
  std::size_t i = 0;
  const std::size_t n = commandLine.size();
  while (i < n && IsBlank(commandLine[i])) ++i;
  if (i == n) return arguments;

  // The program: quotes group, backslashes are literal.
  std::string program;
  bool quoted = false;
  for (; i < n; ++i) {
    char c = commandLine[i];
    if (c == '"') {
      quoted = !quoted;
    } else if (IsBlank(c) && !quoted) {
      break;
    } else {
      program += c;
    }
  }
  arguments.push_back(program);

  while (true) {
    while (i < n && IsBlank(commandLine[i])) ++i;
    if (i == n) break;
    std::string argument;
    quoted = false;
    while (i < n) {
      char c = commandLine[i];
      if (c == '\\') {
        std::size_t count = 0;
        while (i < n && commandLine[i] == '\\') ++count, ++i;
        if (i < n && commandLine[i] == '"') {
          argument.append(count / 2, '\\');
          if (count % 2 == 1) {
            argument += '"';
            ++i;
          }
        } else {
          argument.append(count, '\\');
        }
        continue;
      }
      if (c == '"') {
        if (quoted && i + 1 < n && commandLine[i + 1] == '"') {
          argument += '"';
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      if (IsBlank(c) && !quoted) break;
      argument += c;
      ++i;
    }
    arguments.push_back(argument);
  }
  return arguments;
}

}  // namespace platform
