// The service framework on Windows, run in the foreground (the test is not
// started by the service control manager).
#include "platform/ServiceHost.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "support/WaitUntil.h"

namespace {

// Starts, ticks a timer until `ticks` have run, then asks for a stop; the
// stop handler refuses the first request.
class Handler : public platform::ServiceHandler {
 public:
  explicit Handler(platform::ServiceHost& host) : host_(host) {}

  bool ServiceStart() override {
    startThread = platform::CurrentThreadId();
    timer = host_.CreateTimer(20, [this] {
      tickThread = platform::CurrentThreadId();
      if (++ticks == 2) throw std::runtime_error("tick failed");
      if (ticks == 4) host_.RequestStop();
    });
    timer->SetEnabled(true);
    return true;
  }
  void ServiceExecute(platform::ServiceThread& thread) override {
    while (!thread.Terminated()) thread.ProcessRequests(true);
  }
  bool ServiceStop() override {
    if (++stops == 1) {
      host_.RequestStop();
      return false;
    }
    timer->SetEnabled(false);
    return true;
  }
  void ServiceShutdown() override { ++shutdowns; }

  platform::ServiceHost& host_;
  std::unique_ptr<platform::Timer> timer;
  std::atomic<int> ticks{0};
  std::atomic<int> stops{0};
  std::atomic<int> shutdowns{0};
  std::uint64_t startThread = 0;
  std::atomic<std::uint64_t> tickThread{0};
};

TEST(Win32ServiceHostTest, TimersTickOnTheLoopAndStopRequestsReachTheServiceThread) {
  auto host = platform::CreateServiceHost();
  std::string escaped;
  host->SetExceptionHandler([&](const std::string& message) { escaped = message; });
  Handler handler(*host);
  EXPECT_EQ(host->Run(handler), 0);
  EXPECT_GE(handler.ticks.load(), 4);
  EXPECT_EQ(handler.stops.load(), 2);
  EXPECT_EQ(handler.shutdowns.load(), 0);
  EXPECT_EQ(escaped, "tick failed");
  EXPECT_EQ(handler.tickThread.load(), platform::CurrentThreadId());
  EXPECT_NE(handler.startThread, platform::CurrentThreadId());
  handler.timer.reset();
}

class ShutdownHandler : public platform::ServiceHandler {
 public:
  explicit ShutdownHandler(bool start) : start_(start) {}
  bool ServiceStart() override { return start_; }
  void ServiceExecute(platform::ServiceThread& thread) override {
    executed = true;
    while (!thread.Terminated()) thread.ProcessRequests(true);
  }
  bool ServiceStop() override { return true; }
  void ServiceShutdown() override { ++shutdowns; }
  bool start_;
  std::atomic<bool> executed{false};
  std::atomic<int> shutdowns{0};
};

TEST(Win32ServiceHostTest, ShutdownEndsTheServiceAndARefusedStartIsAFailure) {
  auto host = platform::CreateServiceHost();
  ShutdownHandler running(true);
  std::thread notice([&] {
    WaitUntil([&] { return running.executed.load(); }, std::chrono::seconds(30));
    host->RequestShutdown();
  });
  EXPECT_EQ(host->Run(running), 0);
  notice.join();
  EXPECT_EQ(running.shutdowns.load(), 1);

  ShutdownHandler refused(false);
  EXPECT_EQ(host->Run(refused), 1);
  EXPECT_FALSE(refused.executed.load());
  host->RequestStop();  // no service runs: dropped
}

}  // namespace
