#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// The service framework: a service thread that runs the service's start,
// execute, stop and shutdown handlers, a message loop on the thread that calls
// ServiceHost::Run, and timers whose ticks run on that loop.
//
// POSIX: the service runs in the foreground (as systemd runs the service, or
// from a shell). SIGTERM and SIGINT ask it to stop (ServiceStop); SIGUSR1 is
// the system-shutdown notice (ServiceShutdown); SIGHUP asks it to reload its
// parameters (ServiceParamChange). Run blocks these four signals in every
// thread it creates and in the calling thread, and forwards them from a
// thread of its own.
//
// Windows: a process the service control manager started runs the service
// through the manager's dispatcher (its stop and shutdown controls are the
// requests); any other process runs it in the foreground as on POSIX, where
// Ctrl+C, Ctrl+Break and closing the console ask it to stop.

namespace platform {

// The system's id of the calling thread. Thread-safe; never raises.
std::uint64_t CurrentThreadId();

class ServiceThread;

// What the host calls. Start, Execute, Stop and Shutdown run on the service
// thread; the host never runs two of them at once.
class ServiceHandler {
 public:
  ServiceHandler() = default;
  ServiceHandler(const ServiceHandler&) = delete;
  ServiceHandler& operator=(const ServiceHandler&) = delete;
  virtual ~ServiceHandler() = default;

  // Returns whether the service started; when not, the service ends.
  virtual bool ServiceStart() = 0;
  // Runs until the service is terminated, normally by calling
  // thread.ProcessRequests(true) while !thread.Terminated(). An exception
  // ends the service thread.
  virtual void ServiceExecute(ServiceThread& thread) = 0;
  // Returns whether the service stopped; when it did, the thread is terminated.
  virtual bool ServiceStop() = 0;
  // The system is shutting down; the thread is terminated afterwards.
  virtual void ServiceShutdown() = 0;
  // The service's parameters may have changed (files reopened, settings read
  // again); the service carries on.
  virtual void ServiceParamChange() {}
};

// The service thread's view of the control requests. Used on the service thread only.
class ServiceThread {
 public:
  ServiceThread(const ServiceThread&) = delete;
  ServiceThread& operator=(const ServiceThread&) = delete;
  virtual ~ServiceThread() = default;

  virtual bool Terminated() const = 0;
  // Handles the requests that have arrived (stop, shutdown, parameter change) by calling the
  // handler; with wait, first waits until one arrives or the thread is terminated.
  virtual void ProcessRequests(bool wait) = 0;

 protected:
  ServiceThread() = default;
};

// A timer whose ticks run on the host's message loop. While enabled it ticks
// every Interval milliseconds, counted from the moment it was enabled, its
// interval was set, or its previous tick began. Ticks of one timer never
// overlap. Every operation may be called from any thread, the tick included.
class Timer {
 public:
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;
  virtual ~Timer() = default;

  virtual bool Enabled() const = 0;
  // Enabling a disabled timer restarts its interval; enabling an enabled one changes nothing.
  virtual void SetEnabled(bool enabled) = 0;
  virtual std::uint32_t Interval() const = 0;
  // Restarts the interval when enabled.
  virtual void SetInterval(std::uint32_t milliseconds) = 0;
  // Blocks until no tick of this timer is running. Must not be called from the tick.
  virtual void WaitForTick() = 0;
  // The same, for at most timeoutMs; true when no tick is running.
  virtual bool WaitForTickFor(std::uint32_t timeoutMs) = 0;

 protected:
  Timer() = default;
};

// Called on the message loop's thread with the message of an exception that
// escaped a tick; the loop then carries on.
using ExceptionHandler = std::function<void(const std::string& message)>;

class ServiceHost {
 public:
  ServiceHost(const ServiceHost&) = delete;
  ServiceHost& operator=(const ServiceHost&) = delete;
  virtual ~ServiceHost() = default;

  // A disabled timer with the given interval, ticking on this host's loop.
  // The timer must not outlive the host.
  virtual std::unique_ptr<Timer> CreateTimer(std::uint32_t intervalMs, std::function<void()> onTick) = 0;
  virtual void SetExceptionHandler(ExceptionHandler handler) = 0;

  // The same requests as the control signals: ServiceStop or ServiceShutdown
  // on the service thread of the running service. Requests made while no
  // service runs are dropped. Thread-safe.
  virtual void RequestStop() = 0;
  virtual void RequestShutdown() = 0;

  // Runs the service: starts the service thread (ServiceStart, then
  // ServiceExecute), runs the message loop on the calling thread until the
  // service thread has ended, and returns 0 when the service started and
  // ended without an exception, 1 otherwise. Raises std::system_error when a
  // thread cannot be created.
  virtual int Run(ServiceHandler& handler) = 0;

 protected:
  ServiceHost() = default;
};

std::unique_ptr<ServiceHost> CreateServiceHost();

}  // namespace platform
