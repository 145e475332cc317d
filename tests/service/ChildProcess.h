#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

// A program started by a test and waited for by it. The destructor kills and
// reaps a child that is still running.
class ChildProcess {
 public:
  // Starts program with args (program first) in folder, with the test's
  // environment plus the given variables; with errorFile, its standard error
  // goes to that file. Raises std::runtime_error.
  ChildProcess(const std::string& program, const std::vector<std::string>& args,
               const std::string& folder, const std::map<std::string, std::string>& environment,
               const std::string& errorFile = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void Signal(int signal) const;
  // The exit code (0-255), or 128 + the signal that ended it; nothing when it
  // did not end within timeout.
  std::optional<int> Wait(std::chrono::milliseconds timeout);

 private:
  pid_t FPid = -1;
  bool FReaped = false;
};
