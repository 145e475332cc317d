#pragma once

#include <atomic>

// A request to stop, raised by one thread and polled by another. Long waits in
// the transport and the database layers poll it so that a service stop never
// has to sit out a network or database time-out. Thread-safe.
class TStopSignal {
 public:
  TStopSignal() = default;
  TStopSignal(const TStopSignal&) = delete;
  TStopSignal& operator=(const TStopSignal&) = delete;

  void Request() { FRequested.store(true, std::memory_order_release); }
  void Reset() { FRequested.store(false, std::memory_order_release); }
  bool Requested() const { return FRequested.load(std::memory_order_acquire); }

 private:
  std::atomic<bool> FRequested{false};
};
