#include "platform/ServiceReporter.h"

#include <windows.h>

#include <mutex>

namespace platform {

namespace {

// Lines go to standard error when the process has one (run from a console);
// a service the manager started has none, and its events reach the Event
// Viewer through the event log. The manager's status holds a state, not a
// text, and the service host keeps it: the state calls have nothing to add.
class ConsoleServiceReporter : public ServiceReporter {
 public:
  explicit ConsoleServiceReporter(std::string identifier) : FIdentifier(ReportOneLine(identifier)) {}

  void Report(ReportSeverity severity, const std::string& text) override {
    const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
    if (error == nullptr || error == INVALID_HANDLE_VALUE) return;
    const std::string out = FIdentifier + ": " + ReportSeverityWord(severity) + ": " + ReportOneLine(text) + "\r\n";
    std::lock_guard<std::mutex> hold(FLock);
    DWORD written = 0;
    ::WriteFile(error, out.data(), static_cast<DWORD>(out.size()), &written, nullptr);
  }
  void Ready() override {}
  void Status(const std::string&) override {}
  void Stopping() override {}

 private:
  std::string FIdentifier;
  std::mutex FLock;
};

}  // namespace

std::unique_ptr<ServiceReporter> OpenServiceReporter(const std::string& identifier) {
  return std::make_unique<ConsoleServiceReporter>(identifier);
}

}  // namespace platform
