#pragma once

#include <memory>
#include <string>

// The system's event log. On POSIX: syslog, facility daemon, with the source
// name as the ident.

// <windows.h> makes OpenEventLog a macro for its own OpenEventLogW.
#ifdef OpenEventLog
#undef OpenEventLog
#endif

namespace platform {

class EventLog {
 public:
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;
  virtual ~EventLog() = default;

  // Writes `message` as an error event (syslog priority LOG_ERR). Never
  // raises; a message that cannot be written is lost. Thread-safe.
  virtual void ReportError(const std::string& message) = 0;

 protected:
  EventLog() = default;
};

// An event log writer for the event source `source`.
std::unique_ptr<EventLog> OpenEventLog(const std::string& source);

}  // namespace platform
