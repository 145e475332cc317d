#pragma once

#include <memory>
#include <string>

// Crash reports: plain-text entries appended to a report file, each with the
// local time, what happened and, where available, a stack trace.

namespace platform {

class CrashReporter {
 public:
  CrashReporter(const CrashReporter&) = delete;
  CrashReporter& operator=(const CrashReporter&) = delete;
  virtual ~CrashReporter() = default;

  // The file later reports are appended to (created when missing). Until it
  // is set nothing is written. Thread-safe.
  virtual void SetReportFile(const std::string& path) = 0;
  // Appends a report of an exception that was caught, with the message and
  // the stack of the caller. Never raises. Thread-safe.
  virtual void ReportException(const std::string& message) = 0;

 protected:
  CrashReporter() = default;
};

// Installs the process's crash reporter: the fatal signals SIGSEGV, SIGABRT,
// SIGBUS, SIGFPE and SIGILL append a report (time, signal, stack trace, all
// written with async-signal-safe calls) before the process ends with the
// signal's default action. One reporter per process: installing a second
// while the first exists raises std::logic_error. Destroying it restores the
// previous handlers.
std::unique_ptr<CrashReporter> InstallCrashReporter();

}  // namespace platform
