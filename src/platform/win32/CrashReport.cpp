// Crash reports from the process's unhandled-exception filter: the program's
// own stack walked from the faulting context, with symbol names where the
// program exports them.
#include "platform/CrashReport.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <string>

#include "platform/win32/Win32Text.h"

#include <dbghelp.h>

namespace platform {
namespace {

constexpr int kMaxFrames = 64;

std::string Hex(DWORD64 value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%016llx", static_cast<unsigned long long>(value));
  return text;
}

std::string LocalTimeText() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  char text[32];
  std::snprintf(text, sizeof text, "%02u/%02u/%04u %02u:%02u:%02u", now.wMonth, now.wDay, now.wYear, now.wHour,
                now.wMinute, now.wSecond);
  return text;
}

// "address module!symbol+offset" for one return address. DbgHelp is not
// thread-safe: callers hold gSymbolLock.
std::string FrameText(DWORD64 address) {
  std::string text = "  " + Hex(address);
  HMODULE module = nullptr;
  if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(address), &module)) {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    std::string name = win32::Narrow(path, length);
    text += " " + name.substr(name.find_last_of("\\/") + 1);
  }
  alignas(SYMBOL_INFO) char storage[sizeof(SYMBOL_INFO) + 256] = {};
  auto* symbol = reinterpret_cast<SYMBOL_INFO*>(storage);
  symbol->SizeOfStruct = sizeof(SYMBOL_INFO);
  symbol->MaxNameLen = 255;
  DWORD64 displacement = 0;
  if (SymFromAddr(GetCurrentProcess(), address, &displacement, symbol))
    text += std::string("!") + symbol->Name + "+" + std::to_string(displacement);
  return text + "\n";
}

std::mutex gSymbolLock;

std::string StackOf(CONTEXT context) {
  std::lock_guard<std::mutex> lock(gSymbolLock);
  STACKFRAME64 frame{};
  frame.AddrPC.Offset = context.Rip;
  frame.AddrPC.Mode = AddrModeFlat;
  frame.AddrFrame.Offset = context.Rbp;
  frame.AddrFrame.Mode = AddrModeFlat;
  frame.AddrStack.Offset = context.Rsp;
  frame.AddrStack.Mode = AddrModeFlat;
  std::string trace = "Stack trace:\n";
  for (int i = 0; i < kMaxFrames; ++i) {
    if (!StackWalk64(IMAGE_FILE_MACHINE_AMD64, GetCurrentProcess(), GetCurrentThread(), &frame, &context, nullptr,
                     SymFunctionTableAccess64, SymGetModuleBase64, nullptr) ||
        frame.AddrPC.Offset == 0)
      break;
    trace += FrameText(frame.AddrPC.Offset);
  }
  return trace;
}

std::string ExceptionName(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION: return "Access violation";
    case EXCEPTION_STACK_OVERFLOW: return "Stack overflow";
    case EXCEPTION_INT_DIVIDE_BY_ZERO: return "Integer division by zero";
    case EXCEPTION_ILLEGAL_INSTRUCTION: return "Illegal instruction";
    case EXCEPTION_IN_PAGE_ERROR: return "In-page error";
    default: return "Exception";
  }
}

class Win32CrashReporter;
std::atomic<Win32CrashReporter*> gInstalled{nullptr};

class Win32CrashReporter : public CrashReporter {
 public:
  Win32CrashReporter() {
    Win32CrashReporter* expected = nullptr;
    if (!gInstalled.compare_exchange_strong(expected, this))
      throw std::logic_error("A crash reporter is already installed");
    {
      std::lock_guard<std::mutex> lock(gSymbolLock);
      SymSetOptions(SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS);
      FSymbols = SymInitializeW(GetCurrentProcess(), nullptr, TRUE) != FALSE;
    }
    FPrevious = SetUnhandledExceptionFilter(&Win32CrashReporter::Filter);
  }

  ~Win32CrashReporter() override {
    SetUnhandledExceptionFilter(FPrevious);
    if (FSymbols) {
      std::lock_guard<std::mutex> lock(gSymbolLock);
      SymCleanup(GetCurrentProcess());
    }
    gInstalled.store(nullptr);
  }

  void SetReportFile(const std::string& path) override {
    std::lock_guard<std::mutex> lock(FLock);
    FPath = path;
  }

  void ReportException(const std::string& message) override {
    try {
      CONTEXT context{};
      RtlCaptureContext(&context);
      Append("Exception", message, StackOf(context));
    } catch (...) {
    }
  }

 private:
  static LONG WINAPI Filter(EXCEPTION_POINTERS* exception) {
    if (Win32CrashReporter* self = gInstalled.load()) {
      try {
        const EXCEPTION_RECORD& record = *exception->ExceptionRecord;
        char code[16];
        std::snprintf(code, sizeof code, "0x%08lx", static_cast<unsigned long>(record.ExceptionCode));
        self->Append("Unhandled exception " + std::string(code) + " (" + ExceptionName(record.ExceptionCode) + ")",
                     "at " + Hex(reinterpret_cast<DWORD64>(record.ExceptionAddress)),
                     StackOf(*exception->ContextRecord));
      } catch (...) {
      }
      // The process ends without the system's error dialog or debugger (the
      // C runtime's own filter, installed before ours, would call them).
      return EXCEPTION_EXECUTE_HANDLER;
    }
    return EXCEPTION_CONTINUE_SEARCH;
  }

  void Append(const std::string& what, const std::string& detail, const std::string& trace) {
    std::lock_guard<std::mutex> lock(FLock);
    if (FPath.empty()) return;
    std::string text = "==================================================\n" + LocalTimeText() + "  " + what + "\n";
    if (!detail.empty()) text += detail + "\n";
    text += trace;
    win32::Handle file(CreateFileW(win32::Widen(FPath).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                   nullptr));
    if (!file.Valid()) return;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file.Get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
        info.nNumberOfLinks != 1)
      return;
    DWORD written = 0;
    WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }

  std::mutex FLock;
  std::string FPath;
  bool FSymbols = false;
  LPTOP_LEVEL_EXCEPTION_FILTER FPrevious = nullptr;
};

}  // namespace

std::unique_ptr<CrashReporter> InstallCrashReporter() { return std::make_unique<Win32CrashReporter>(); }

}  // namespace platform
