#pragma once

#include <memory>
#include <string>

// What a running service tells the operator and its service manager: lines
// with a severity for the operator's console or the system journal, and its
// state (started, what it is doing, stopping) for the manager's status view.
//
// POSIX: lines go to the systemd journal (sd_journal, with the line's
// priority) when standard error is connected to it (JOURNAL_STREAM names it),
// otherwise to standard error as "<identifier>: <severity>: <text>". The state
// goes to systemd through sd_notify (READY=1, STATUS=, STOPPING=1) when the
// process was started by systemd with a notify socket (NOTIFY_SOCKET), and
// nowhere otherwise.
//
// Windows: lines go to standard error when the process has one (a console);
// the service manager's status is the state the service host reports, so the
// state calls add nothing there.

namespace platform {

enum class ReportSeverity { Error, Warning, Information };

class ServiceReporter {
 public:
  ServiceReporter(const ServiceReporter&) = delete;
  ServiceReporter& operator=(const ServiceReporter&) = delete;
  virtual ~ServiceReporter() = default;

  // One line for the operator (a text of several lines is written as one
  // line, its line breaks as blanks). Never raises. Thread-safe.
  virtual void Report(ReportSeverity severity, const std::string& text) = 0;
  // The service has started and serves requests. Never raises.
  virtual void Ready() = 0;
  // The one-line state the manager shows for the service (what the last cycle
  // did, what comes next); replaces the previous one. Never raises.
  virtual void Status(const std::string& text) = 0;
  // The service has begun to stop. Never raises.
  virtual void Stopping() = 0;

 protected:
  ServiceReporter() = default;
};

// The text forms every reporter writes: `text` on one line (its line breaks
// as blanks), and the severity's word ("error", "warning", "info").
std::string ReportOneLine(const std::string& text);
const char* ReportSeverityWord(ReportSeverity severity);

// A reporter whose lines carry `identifier` (the journal's SYSLOG_IDENTIFIER).
std::unique_ptr<ServiceReporter> OpenServiceReporter(const std::string& identifier);

}  // namespace platform
