// The service framework on the service control manager. Run hands the
// manager a dispatcher on a thread of its own; the manager's service thread
// (ServiceMain) is the service thread of this interface. When the process was
// not started by the manager (a console, a test) the service runs in the
// foreground as on POSIX: Ctrl+C, Ctrl+Break and closing the console ask it
// to stop, logoff and system shutdown are the shutdown notice.
#include "platform/ServiceHost.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/ExceptionText.h"
#include "platform/ServiceLoop.h"
#include "platform/win32/Win32Text.h"

#include <tlhelp32.h>

namespace platform {

std::uint64_t CurrentThreadId() { return GetCurrentThreadId(); }

namespace {

using serviceloop::Clock;
using serviceloop::ControlRequest;
using serviceloop::LoopState;
using serviceloop::LoopTimer;
using serviceloop::QueuedServiceThread;

// Whether the service control manager started this process: its parent is
// the manager's process. Asking the manager itself from a process it did not
// start takes seconds to fail (under Wine ten).
bool StartedByServiceManager() {
  win32::Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.Valid()) return true;
  const DWORD self = GetCurrentProcessId();
  DWORD parent = 0;
  std::vector<PROCESSENTRY32W> entries;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry)) {
    entries.push_back(entry);
    if (entry.th32ProcessID == self) parent = entry.th32ParentProcessID;
  }
  for (const PROCESSENTRY32W& candidate : entries) {
    if (candidate.th32ProcessID == parent)
      return CompareStringOrdinal(candidate.szExeFile, -1, L"services.exe", -1, TRUE) == CSTR_EQUAL;
  }
  return false;
}

class Win32ServiceHost;

// The manager calls ServiceMain and the control handler without a context of
// ours: the running host is found here. One service per process.
std::atomic<Win32ServiceHost*> gRunning{nullptr};

constexpr DWORD kStartWaitHintMs = 5000;

class Win32ServiceHost : public ServiceHost {
 public:
  Win32ServiceHost()
      : FState(std::make_shared<LoopState>()),
        FWake(std::make_shared<win32::Handle>(CreateEventW(nullptr, FALSE, FALSE, nullptr))) {
    // The loop waits on the event as well as on window messages. The event is
    // shared with the state, which the timers may keep after the host has gone.
    FState->onWake = [wake = FWake] { SetEvent(wake->Get()); };
  }

  std::unique_ptr<Timer> CreateTimer(std::uint32_t intervalMs, std::function<void()> onTick) override {
    return std::make_unique<LoopTimer>(FState, intervalMs, std::move(onTick));
  }

  void SetExceptionHandler(ExceptionHandler handler) override {
    std::lock_guard<std::mutex> hold(FState->lock);
    FState->onException = std::move(handler);
  }

  void RequestStop() override { Post(ControlRequest::Stop); }
  void RequestShutdown() override { Post(ControlRequest::Shutdown); }

  int Run(ServiceHandler& handler) override {
    Win32ServiceHost* expected = nullptr;
    if (!gRunning.compare_exchange_strong(expected, this))
      throw std::system_error(std::make_error_code(std::errc::device_or_resource_busy), "A service runs already");
    struct TRelease {
      ~TRelease() { gRunning.store(nullptr); }
    } release;
    {
      std::lock_guard<std::mutex> hold(FState->lock);
      FState->quit = false;
      FLoopDone = false;
    }
    QueuedServiceThread serviceThread(handler);
    FHandler = &handler;
    FThread = &serviceThread;
    FClean = false;
    FConnected = FDispatchFailed = false;
    FStatusHandle = nullptr;
    {
      std::lock_guard<std::mutex> hold(FControlLock);
      FRunning = &serviceThread;
    }
    struct TDetach {
      Win32ServiceHost& host;
      ~TDetach() {
        std::lock_guard<std::mutex> hold(host.FControlLock);
        host.FRunning = nullptr;
      }
    } detach{*this};

    std::thread dispatcher;
    if (!StartedByServiceManager()) {
      FDispatchFailed = true;
    } else {
      dispatcher = std::thread([this] {
        static wchar_t name[] = L"";
        SERVICE_TABLE_ENTRYW table[] = {{name, &Win32ServiceHost::ServiceMain}, {nullptr, nullptr}};
        const bool dispatched = StartServiceCtrlDispatcherW(table) != FALSE;
        std::lock_guard<std::mutex> hold(FStartLock);
        if (!dispatched) FDispatchFailed = true;
        FStartChanged.notify_all();
      });
    }
    bool foreground = false;
    {
      std::unique_lock<std::mutex> hold(FStartLock);
      FStartChanged.wait(hold, [this] { return FConnected || FDispatchFailed; });
      foreground = !FConnected;
    }
    std::thread service;
    if (foreground) {
      if (dispatcher.joinable()) dispatcher.join();
      SetConsoleCtrlHandler(&Win32ServiceHost::ConsoleControl, TRUE);
      try {
        service = std::thread([this] { RunService(); });
      } catch (...) {
        SetConsoleCtrlHandler(&Win32ServiceHost::ConsoleControl, FALSE);
        throw;
      }
    }
    RunLoop();
    if (foreground) {
      service.join();
      SetConsoleCtrlHandler(&Win32ServiceHost::ConsoleControl, FALSE);
    } else {
      dispatcher.join();
    }
    return FClean ? 0 : 1;
  }

 private:
  // The service thread: the manager's ServiceMain, or a thread of ours.
  void RunService() {
    try {
      if (FHandler->ServiceStart()) {
        Report(SERVICE_RUNNING, 0);
        FHandler->ServiceExecute(*FThread);
        FClean = true;
      }
    } catch (...) {
    }
    std::lock_guard<std::mutex> hold(FState->lock);
    FState->quit = true;
    FState->Wake();
  }

  static void WINAPI ServiceMain(DWORD, LPWSTR*) {
    Win32ServiceHost* self = gRunning.load();
    if (self == nullptr) return;
    self->FStatusHandle = RegisterServiceCtrlHandlerExW(L"", &Win32ServiceHost::Control, self);
    {
      std::lock_guard<std::mutex> hold(self->FStartLock);
      self->FConnected = true;
      self->FStartChanged.notify_all();
    }
    self->Report(SERVICE_START_PENDING, kStartWaitHintMs);
    self->RunService();
    // The loop may still be in a tick; the manager is told once it is over.
    {
      std::unique_lock<std::mutex> hold(self->FState->lock);
      self->FState->changed.wait(hold, [self] { return self->FLoopDone; });
    }
    self->Report(SERVICE_STOPPED, 0, self->FClean ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR);
  }

  static DWORD WINAPI Control(DWORD control, DWORD, LPVOID, LPVOID context) {
    auto* self = static_cast<Win32ServiceHost*>(context);
    switch (control) {
      case SERVICE_CONTROL_STOP:
        self->Report(SERVICE_STOP_PENDING, kStartWaitHintMs);
        self->Post(ControlRequest::Stop);
        return NO_ERROR;
      case SERVICE_CONTROL_SHUTDOWN:
        self->Report(SERVICE_STOP_PENDING, kStartWaitHintMs);
        self->Post(ControlRequest::Shutdown);
        return NO_ERROR;
      case SERVICE_CONTROL_INTERROGATE:
        self->Report(0, 0);
        return NO_ERROR;
      default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
  }

  static BOOL WINAPI ConsoleControl(DWORD event) {
    Win32ServiceHost* self = gRunning.load();
    if (self == nullptr) return FALSE;
    self->Post(event == CTRL_SHUTDOWN_EVENT || event == CTRL_LOGOFF_EVENT ? ControlRequest::Shutdown
                                                                          : ControlRequest::Stop);
    return TRUE;
  }

  // Tells the manager the service's state (0: the state last told again).
  void Report(DWORD state, DWORD waitHint, DWORD exitCode = NO_ERROR) {
    if (FStatusHandle == nullptr) return;
    std::lock_guard<std::mutex> hold(FStatusLock);
    if (state != 0) {
      FStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
      if (state != FStatus.dwCurrentState) FStatus.dwCheckPoint = 0;
      FStatus.dwCurrentState = state;
      FStatus.dwWaitHint = waitHint;
      FStatus.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
      FStatus.dwWin32ExitCode = exitCode == NO_ERROR ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
      FStatus.dwServiceSpecificExitCode = exitCode == NO_ERROR ? 0 : 1;
      if (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING) ++FStatus.dwCheckPoint;
      else FStatus.dwCheckPoint = 0;
    }
    SetServiceStatus(FStatusHandle, &FStatus);
  }

  void Post(ControlRequest request) {
    std::lock_guard<std::mutex> hold(FControlLock);
    if (FRunning != nullptr) FRunning->Post(request);
  }

  // The message loop: window messages of this thread, and the timers.
  void RunLoop() {
    std::unique_lock<std::mutex> hold(FState->lock);
    while (!FState->quit) {
      LoopTimer* next = nullptr;
      for (LoopTimer* timer : FState->timers) {
        if (timer->Ready() && (next == nullptr || timer->Due() < next->Due())) next = timer;
      }
      const auto now = Clock::now();
      if (next == nullptr || now < next->Due()) {
        DWORD timeout = INFINITE;
        if (next != nullptr) {
          const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next->Due() - now).count();
          timeout = static_cast<DWORD>(std::min<long long>(wait, 0x7FFFFFFF));
        }
        hold.unlock();
        HANDLE wake = FWake->Get();
        MsgWaitForMultipleObjectsEx(1, &wake, timeout, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
          TranslateMessage(&message);
          DispatchMessageW(&message);
        }
        hold.lock();
        continue;
      }
      next->BeginTick();
      hold.unlock();
      std::string escaped;
      bool raised = false;
      try {
        next->OnTick()();
      } catch (...) {
        raised = true;
        escaped = CurrentExceptionMessage();
      }
      if (raised) {
        ExceptionHandler report;
        {
          std::lock_guard<std::mutex> copy(FState->lock);
          report = FState->onException;
        }
        if (report) {
          try {
            report(escaped);
          } catch (...) {
          }
        }
      }
      hold.lock();
      next->EndTick();
      FState->changed.notify_all();
    }
    FLoopDone = true;
    FState->changed.notify_all();
  }

  std::shared_ptr<LoopState> FState;
  std::shared_ptr<win32::Handle> FWake;  // signalled by LoopState::Wake
  std::mutex FControlLock;
  QueuedServiceThread* FRunning = nullptr;
  ServiceHandler* FHandler = nullptr;
  QueuedServiceThread* FThread = nullptr;
  std::atomic<bool> FClean{false};
  bool FLoopDone = false;

  std::mutex FStartLock;
  std::condition_variable FStartChanged;
  bool FConnected = false;
  bool FDispatchFailed = false;

  std::mutex FStatusLock;
  SERVICE_STATUS_HANDLE FStatusHandle = nullptr;
  SERVICE_STATUS FStatus{};
};

}  // namespace

std::unique_ptr<ServiceHost> CreateServiceHost() { return std::make_unique<Win32ServiceHost>(); }

}  // namespace platform
