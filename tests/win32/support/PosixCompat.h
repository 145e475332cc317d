#pragma once

// The few POSIX calls the shared test helpers (tests/support) use, for the
// Windows build, where this header is included ahead of every test source.
#define _CRT_RAND_S  // rand_s
#include <stdlib.h>
#include <windows.h>

#include <direct.h>
#include <string>

inline int setenv(const char* name, const char* value, int overwrite) {
  if (!overwrite && getenv(name) != nullptr) return 0;
  // Both the C library's copy and the process's block: the code under test
  // reads the latter.
  SetEnvironmentVariableA(name, value);
  return _putenv_s(name, value);
}

inline int unsetenv(const char* name) {
  SetEnvironmentVariableA(name, nullptr);
  return _putenv_s(name, "");
}

// Replaces the trailing "XXXXXX" with random characters and creates the folder.
inline char* mkdtemp(char* pattern) {
  std::string base(pattern);
  if (base.size() < 6 || base.compare(base.size() - 6, 6, "XXXXXX") != 0) return nullptr;
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned int random = 0;
    for (std::size_t i = base.size() - 6; i < base.size(); ++i) {
      rand_s(&random);
      pattern[i] = kLetters[random % (sizeof kLetters - 1)];
    }
    if (CreateDirectoryA(pattern, nullptr)) return pattern;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return nullptr;
  }
  return nullptr;
}
