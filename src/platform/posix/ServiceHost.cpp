#include "platform/ServiceHost.h"

#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <list>
#include <mutex>
#include <thread>

#include "platform/ExceptionText.h"
#include "platform/ServiceLoop.h"

namespace platform {

std::uint64_t CurrentThreadId() { return static_cast<std::uint64_t>(::syscall(SYS_gettid)); }

namespace {

using serviceloop::Clock;
using serviceloop::ControlRequest;
using serviceloop::LoopState;
using serviceloop::LoopTimer;
using serviceloop::QueuedServiceThread;

class PosixServiceHost : public ServiceHost {
 public:
  PosixServiceHost() : FState(std::make_shared<LoopState>()) {}

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
    sigset_t controls;
    sigemptyset(&controls);
    sigaddset(&controls, SIGTERM);
    sigaddset(&controls, SIGINT);
    sigaddset(&controls, SIGUSR1);
    sigaddset(&controls, SIGHUP);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &controls, &previous);
    {
      std::lock_guard<std::mutex> hold(FState->lock);
      FState->quit = false;
    }

    QueuedServiceThread serviceThread(handler);
    {
      std::lock_guard<std::mutex> hold(FControlLock);
      FRunning = &serviceThread;
    }
    // No request may reach the service thread once Run has left.
    struct TDetach {
      PosixServiceHost& host;
      ~TDetach() {
        std::lock_guard<std::mutex> hold(host.FControlLock);
        host.FRunning = nullptr;
      }
    } detach{*this};
    std::atomic<bool> forwarding{true};
    bool clean = false;
    std::thread forwarder;
    std::thread service;
    try {
      // The control signals are taken here, on a thread of their own, so
      // that they never interrupt the loop or the service thread.
      forwarder = std::thread([&] {
        while (forwarding.load()) {
          timespec wait{0, 100 * 1000 * 1000};
          const int signal = ::sigtimedwait(&controls, nullptr, &wait);
          if (signal == SIGTERM || signal == SIGINT) Post(ControlRequest::Stop);
          if (signal == SIGUSR1) Post(ControlRequest::Shutdown);
          if (signal == SIGHUP) Post(ControlRequest::ParamChange);
        }
      });
      service = std::thread([&] {
        try {
          if (handler.ServiceStart()) {
            handler.ServiceExecute(serviceThread);
            clean = true;
          }
        } catch (...) {
        }
        std::lock_guard<std::mutex> hold(FState->lock);
        FState->quit = true;
        FState->changed.notify_all();
      });
    } catch (...) {
      forwarding = false;
      if (forwarder.joinable()) forwarder.join();
      pthread_sigmask(SIG_SETMASK, &previous, nullptr);
      throw;
    }

    RunLoop();

    service.join();
    forwarding = false;
    forwarder.join();
    // A control signal that arrived after the forwarder ended is dropped, not
    // left to end the process when the mask is restored.
    timespec none{0, 0};
    while (::sigtimedwait(&controls, nullptr, &none) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return clean ? 0 : 1;
  }

 private:
  void Post(ControlRequest request) {
    std::lock_guard<std::mutex> hold(FControlLock);
    if (FRunning != nullptr) FRunning->Post(request);
  }

  void RunLoop() {
    std::unique_lock<std::mutex> hold(FState->lock);
    while (!FState->quit) {
      LoopTimer* next = nullptr;
      for (LoopTimer* timer : FState->timers) {
        if (timer->Ready() && (next == nullptr || timer->Due() < next->Due())) next = timer;
      }
      if (next == nullptr) {
        FState->changed.wait(hold);
        continue;
      }
      if (Clock::now() < next->Due()) {
        FState->changed.wait_until(hold, next->Due());
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
  }

  std::shared_ptr<LoopState> FState;
  std::mutex FControlLock;
  QueuedServiceThread* FRunning = nullptr;
};

}  // namespace

std::unique_ptr<ServiceHost> CreateServiceHost() { return std::make_unique<PosixServiceHost>(); }

}  // namespace platform
