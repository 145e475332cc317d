#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "platform/ServiceHost.h"

// What the service hosts of every system share: the timers of the message
// loop and the service thread's queue of control requests. Each backend runs its own loop over LoopState.

namespace platform::serviceloop {

using Clock = std::chrono::steady_clock;

class LoopTimer;

// What the message loop and its timers share. Wake tells the loop to look at
// its timers again: it notifies `changed`, and calls onWake for a loop that
// waits on something else as well (a system event).
struct LoopState {
  std::mutex lock;
  std::condition_variable changed;
  std::list<LoopTimer*> timers;
  bool quit = false;
  ExceptionHandler onException;
  std::function<void()> onWake;

  void Wake() {
    changed.notify_all();
    if (onWake) onWake();
  }
};

class LoopTimer : public Timer {
 public:
  LoopTimer(std::shared_ptr<LoopState> state, std::uint32_t interval, std::function<void()> onTick)
      : FState(std::move(state)), FInterval(interval), FOnTick(std::move(onTick)) {
    std::lock_guard<std::mutex> hold(FState->lock);
    FState->timers.push_back(this);
  }
  ~LoopTimer() override {
    std::unique_lock<std::mutex> hold(FState->lock);
    FState->changed.wait(hold, [this] { return !FInTick; });
    FState->timers.remove(this);
  }

  bool Enabled() const override {
    std::lock_guard<std::mutex> hold(FState->lock);
    return FEnabled;
  }
  void SetEnabled(bool enabled) override {
    std::lock_guard<std::mutex> hold(FState->lock);
    if (enabled && !FEnabled) FDue = Clock::now() + std::chrono::milliseconds(FInterval);
    FEnabled = enabled;
    FState->Wake();
  }
  std::uint32_t Interval() const override {
    std::lock_guard<std::mutex> hold(FState->lock);
    return FInterval;
  }
  void SetInterval(std::uint32_t milliseconds) override {
    std::lock_guard<std::mutex> hold(FState->lock);
    FInterval = milliseconds;
    FDue = Clock::now() + std::chrono::milliseconds(FInterval);
    FState->Wake();
  }
  void WaitForTick() override {
    std::unique_lock<std::mutex> hold(FState->lock);
    FState->changed.wait(hold, [this] { return !FInTick; });
  }
  bool WaitForTickFor(std::uint32_t timeoutMs) override {
    std::unique_lock<std::mutex> hold(FState->lock);
    return FState->changed.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                    [this] { return !FInTick; });
  }

  // Loop side, under FState->lock.
  bool Ready() const { return FEnabled && !FInTick; }
  Clock::time_point Due() const { return FDue; }
  void BeginTick() {
    FInTick = true;
    FDue = Clock::now() + std::chrono::milliseconds(FInterval);
  }
  void EndTick() { FInTick = false; }
  const std::function<void()>& OnTick() const { return FOnTick; }

 private:
  std::shared_ptr<LoopState> FState;
  bool FEnabled = false;
  std::uint32_t FInterval;
  Clock::time_point FDue{};
  bool FInTick = false;
  std::function<void()> FOnTick;
};

enum class ControlRequest { Stop, Shutdown, ParamChange };

class QueuedServiceThread : public ServiceThread {
 public:
  explicit QueuedServiceThread(ServiceHandler& handler) : FHandler(handler) {}

  bool Terminated() const override {
    std::lock_guard<std::mutex> hold(FLock);
    return FTerminated;
  }

  void ProcessRequests(bool wait) override {
    std::deque<ControlRequest> requests;
    {
      std::unique_lock<std::mutex> hold(FLock);
      if (wait) FArrived.wait(hold, [this] { return !FRequests.empty() || FTerminated; });
      requests.swap(FRequests);
    }
    for (ControlRequest request : requests) {
      if (Terminated()) break;
      bool terminate = true;
      if (request == ControlRequest::Stop) {
        terminate = FHandler.ServiceStop();
      } else if (request == ControlRequest::Shutdown) {
        FHandler.ServiceShutdown();
      } else {
        FHandler.ServiceParamChange();
        terminate = false;
      }
      if (terminate) {
        std::lock_guard<std::mutex> hold(FLock);
        FTerminated = true;
      }
    }
  }

  void Post(ControlRequest request) {
    std::lock_guard<std::mutex> hold(FLock);
    FRequests.push_back(request);
    FArrived.notify_all();
  }

 private:
  ServiceHandler& FHandler;
  mutable std::mutex FLock;
  std::condition_variable FArrived;
  std::deque<ControlRequest> FRequests;
  bool FTerminated = false;
};


}  // namespace platform::serviceloop
