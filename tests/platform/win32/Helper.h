#pragma once

#include <string>

#include "platform/Files.h"

// The helper program of the Windows platform tests, built beside them
// (tests/platform/win32/programs/win32_helper.cpp).
inline std::string HelperProgram() {
  const std::string self = platform::ExecutablePath();
  return self.substr(0, self.find_last_of('\\') + 1) + "win32_helper.exe";
}
