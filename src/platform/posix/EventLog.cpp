#include "platform/EventLog.h"

#include <syslog.h>

#include <mutex>

namespace platform {

namespace {

// syslog keeps one ident per process; every writer sets its own around each
// message, so writes of different sources must not interleave.
std::mutex& SyslogLock() {
  static std::mutex lock;
  return lock;
}

class SyslogEventLog : public EventLog {
 public:
  explicit SyslogEventLog(std::string source) : FSource(std::move(source)) {}

  void ReportError(const std::string& message) override {
    try {
      std::lock_guard<std::mutex> hold(SyslogLock());
      ::openlog(FSource.c_str(), LOG_PID, LOG_DAEMON);
      ::syslog(LOG_ERR, "%s", message.c_str());
      ::closelog();
    } catch (...) {
    }
  }

 private:
  std::string FSource;
};

}  // namespace

std::unique_ptr<EventLog> OpenEventLog(const std::string& source) {
  return std::make_unique<SyslogEventLog>(source);
}

}  // namespace platform
