#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

// The test programs built in tests/platform: "versioned_program" (carries a
// version block with FileVersion 19.2.0.113) and "unversioned_program" (the
// same program without one). Started with a report file as first argument,
// each writes what it was started with to that file (see
// tests/platform/programs/report_program.cpp).

// The full path of a test program; raises when the build folder is unknown.
std::string TestProgramPath(const std::string& name);

struct ProgramReport {
  long pid = 0;
  long ppid = 0;
  long sid = 0;
  std::string env;      // DC_REPORT_VALUE or "<unset>"
  std::string version;  // the program's own GetCollectorVersion()
  std::string fd;       // whether the descriptor DC_REPORT_FD was open
  std::vector<std::string> args;
};

// Waits up to `timeoutMs` for the report file to appear and reads it; nothing
// when it did not appear.
std::optional<ProgramReport> WaitForReport(const std::string& reportFile, int timeoutMs = 10000);
