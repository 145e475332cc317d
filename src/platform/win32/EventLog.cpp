#include "platform/win32/Win32Text.h"

#include "platform/EventLog.h"

namespace platform {
namespace {

// The one entry of the program's message table: its text is the whole
// insertion string, so the Event Viewer shows the message as written.
constexpr DWORD kGenericMessage = 0x20000001;

class Win32EventLog : public EventLog {
 public:
  explicit Win32EventLog(const std::string& source)
      : FSource(RegisterEventSourceW(nullptr, win32::Widen(source).c_str())) {}
  ~Win32EventLog() override {
    if (FSource != nullptr) DeregisterEventSource(FSource);
  }

  void ReportError(const std::string& message) override {
    if (FSource == nullptr) return;
    const std::wstring text = win32::Widen(message);
    const wchar_t* strings[] = {text.c_str()};
    ReportEventW(FSource, EVENTLOG_ERROR_TYPE, 0, kGenericMessage, nullptr, 1, 0, strings, nullptr);
  }

 private:
  HANDLE FSource;
};

}  // namespace

std::unique_ptr<EventLog> OpenEventLog(const std::string& source) { return std::make_unique<Win32EventLog>(source); }

}  // namespace platform
