#include "platform/ServiceReporter.h"

#include <sys/stat.h>
#include <syslog.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace platform {

namespace {

// Whether standard error is the journal's stream: systemd names it in
// JOURNAL_STREAM as "<device>:<inode>", and a descriptor redirected
// elsewhere by a shell keeps the variable but not the file.
bool StandardErrorIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  unsigned long long device = 0;
  unsigned long long inode = 0;
  if (std::sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
  struct stat info {};
  if (::fstat(STDERR_FILENO, &info) != 0) return false;
  return static_cast<unsigned long long>(info.st_dev) == device &&
         static_cast<unsigned long long>(info.st_ino) == inode;
}

int Priority(ReportSeverity severity) {
  switch (severity) {
    case ReportSeverity::Error:
      return LOG_ERR;
    case ReportSeverity::Warning:
      return LOG_WARNING;
    case ReportSeverity::Information:
      break;
  }
  return LOG_INFO;
}


class SystemdServiceReporter : public ServiceReporter {
 public:
  explicit SystemdServiceReporter(std::string identifier)
      : FIdentifier(ReportOneLine(identifier)), FJournal(StandardErrorIsJournal()) {}

  void Report(ReportSeverity severity, const std::string& text) override {
    const std::string line = ReportOneLine(text);
    std::lock_guard<std::mutex> hold(FLock);
    if (FJournal &&
        ::sd_journal_send("MESSAGE=%s", line.c_str(), "PRIORITY=%i", Priority(severity),
                          "SYSLOG_IDENTIFIER=%s", FIdentifier.c_str(), nullptr) == 0) {
      return;
    }
    // One write per line, so that lines of other processes on the same
    // stream never split it.
    const std::string out = FIdentifier + ": " + ReportSeverityWord(severity) + ": " + line + "\n";
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, out.data(), out.size());
  }

  void Ready() override { ::sd_notify(0, "READY=1"); }

  void Status(const std::string& text) override {
    ::sd_notify(0, ("STATUS=" + ReportOneLine(text)).c_str());
  }

  void Stopping() override { ::sd_notify(0, "STOPPING=1"); }

 private:
  std::string FIdentifier;
  bool FJournal;
  std::mutex FLock;
};

}  // namespace

std::unique_ptr<ServiceReporter> OpenServiceReporter(const std::string& identifier) {
  return std::make_unique<SystemdServiceReporter>(identifier);
}

}  // namespace platform
