// The service module's schedule and stop, with a scripted collector: tick by
// tick on a hand-driven host, and a stop during a cycle on the real host.

#include "service/DataCollectorSvcMain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <iterator>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Shared/Orvel_Shared/DataCollectorConfiguration.h"
#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "collector/DataCollector.h"
#include "model/CollectedData.h"
#include "platform/ServiceControl.h"
#include "platform/ServiceReporter.h"
#include "support/ScopedRegistry.h"
#include "support/TempDir.h"

namespace {

using namespace std::chrono_literals;

// A collector whose every step is scripted; it records which driving
// operations ran.
class TScriptedCollector : public TDataCollector {
 public:
  struct Script {
    std::atomic<TDataCollector::TAuthorizeResult> initializeResult{TDataCollector::TAuthorizeResult::Granted};  // what Authorize answers
    std::atomic<int> resendDelay{0};
    std::atomic<int> cycleTime{5};
    std::atomic<bool> cycleRaises{false};
    std::atomic<bool> closeRaises{false};
    std::atomic<bool> openFails{false};
    std::atomic<int> opens{0};
    std::atomic<bool> blockInRetrieve{false};
    std::atomic<bool> ignoreStop{false};  // the blocked retrieval does not end on a stop
    std::atomic<bool> retrieving{false};
    std::atomic<bool> retrieveEnded{false};
    std::atomic<bool> destroyed{false};
    std::atomic<int> initializes{0};
    std::atomic<int> cycles{0};
  };

  TScriptedCollector(TDataCollectorOnLog onLog, Script& script)
      : TDataCollector(std::move(onLog)), FScript(script) {}
  ~TScriptedCollector() override { FScript.destroyed = true; }

 protected:
  void StartTransaction() override {}
  void CommitTransaction() override {}
  void RollbackTransaction() override {}
  void CloseDatabase() override {
    if (FScript.closeRaises) throw EDatabaseError("scripted close failure");
  }
  bool BasicSystemChecksOK() override { return true; }
  bool TransactionManagerRunning() override { return true; }
  bool OpenDatabase() override {
    ++FScript.opens;
    return !FScript.openFails;
  }
  void VerifyDBStructures(bool) override {}
  std::unique_ptr<TDataCollectorStatusObj> LoadStatus() override {
    auto status = std::make_unique<TDataCollectorStatusObj>();
    status->LastCycleEnd = DateOf(DateTimeNow());
    return status;
  }
  void SaveStatus(const TDataCollectorStatusObj*) override {}
  void CommitAcceptedData(const TCollectedData*) override {}
  std::unique_ptr<TCollectedData> RetrieveData(const TDataCollectorStatusObj&) override {
    if (FScript.cycleRaises) {
      ++FScript.cycles;
      throw EDatabaseError("scripted failure");
    }
    if (FScript.blockInRetrieve) {
      FScript.retrieving = true;
      // A database wait that only the stop request ends.
      while (!LStop.Requested() || FScript.ignoreStop) std::this_thread::sleep_for(5ms);
      FScript.retrieveEnded = true;
      throw EDatabaseError("operation was cancelled");
    }
    return std::make_unique<TCollectedData>();
  }
  void LoadConfiguration() override { ++FScript.initializes; }
  void CreateServerConnection() override {}
  bool PrepareTLS() override { return true; }
  TAuthorizeResult Authorize() override {
    LCfg->SetCycleTime(FScript.cycleTime);
    return FScript.initializeResult;
  }
  TPostResult Post(TCollectedData*, TDataCollectorStatusObj&) override {
    ++FScript.cycles;
    FResendDelay = FScript.resendDelay;
    return FScript.resendDelay > 0 ? TPostResult::Resend : TPostResult::Accepted;
  }
  bool SetSiteStatus(const std::string&, const std::string&) override { return true; }

 private:
  Script& FScript;
};

// A host whose one timer the test fires by hand, as the message loop would.
class ManualHost : public platform::ServiceHost {
 public:
  class ManualTimer : public platform::Timer {
   public:
    explicit ManualTimer(std::uint32_t interval, std::function<void()> onTick)
        : FInterval(interval), FOnTick(std::move(onTick)) {}
    bool Enabled() const override { return FEnabled; }
    void SetEnabled(bool enabled) override { FEnabled = enabled; }
    std::uint32_t Interval() const override { return FInterval; }
    void SetInterval(std::uint32_t ms) override { FInterval = ms; }
    void WaitForTick() override {}
    bool WaitForTickFor(std::uint32_t) override { return true; }
    // One tick when enabled; false when the timer was disabled.
    bool Fire() {
      if (!FEnabled) return false;
      FOnTick();
      return true;
    }

   private:
    bool FEnabled = false;
    std::uint32_t FInterval;
    std::function<void()> FOnTick;
  };

  std::unique_ptr<platform::Timer> CreateTimer(std::uint32_t interval, std::function<void()> onTick) override {
    auto timer = std::make_unique<ManualTimer>(interval, std::move(onTick));
    timer_ = timer.get();
    return timer;
  }
  void SetExceptionHandler(platform::ExceptionHandler) override {}
  void RequestStop() override {}
  void RequestShutdown() override {}
  int Run(platform::ServiceHandler&) override { return 0; }

  ManualTimer* timer_ = nullptr;
};

class TTestSvc : public TDataCollectorSvc {
 public:
  TTestSvc(platform::ServiceHost& host, const std::string& folder, TScriptedCollector::Script& script)
      : TDataCollectorSvc(host, nullptr, folder, folder + "/LOG"), FScript(script) {}
  using TDataCollectorSvc::LCycleSeconds;
  using TDataCollectorSvc::LCycleStopLimitMs;

 protected:
  std::unique_ptr<TDataCollector> NewCollector(TDataCollectorOnLog onLog) override {
    return std::make_unique<TScriptedCollector>(std::move(onLog), FScript);
  }

 private:
  TScriptedCollector::Script& FScript;
};

class ServiceModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FOldFolder = std::filesystem::current_path();
    setenv("DC_TICK_MS", "40", 1);
  }
  void TearDown() override {
    std::filesystem::current_path(FOldFolder);
    unsetenv("DC_TICK_MS");
  }

  std::vector<std::string> Messages() const {
    std::vector<std::string> texts;
    if (!std::filesystem::exists(FDir.file("LOG"))) return texts;
    for (const auto& entry : std::filesystem::directory_iterator(FDir.file("LOG"))) {
      if (entry.path().extension() != ".LOG") continue;
      std::ifstream in(entry.path(), std::ios::binary);
      std::string line;
      while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() >= 25 && line[2] == '/' && line.substr(25) != "Log File Created.") {
          texts.push_back(line.substr(25));
        }
      }
    }
    return texts;
  }

  // Fires ticks until the collector ran `runs` more cycles (or initialisations
  // when counting those); returns the number of ticks that took.
  static int TicksUntil(ManualHost& host, const std::function<bool()>& done, int limit = 2000) {
    for (int ticks = 1; ticks <= limit; ++ticks) {
      if (!host.timer_->Fire()) return -ticks;
      if (done()) return ticks;
    }
    return 0;
  }

  TempDir FDir{"dc-module"};
  ScopedRegistry FRegistry;
  std::filesystem::path FOldFolder;
  TScriptedCollector::Script script;
};

TEST_F(ServiceModuleTest, TickScheduleFollowsTheCountdown) {
  ManualHost host;
  TTestSvc svc(host, FDir.path().string(), script);
  ASSERT_NE(host.timer_, nullptr);
  EXPECT_FALSE(host.timer_->Enabled());
  EXPECT_EQ(host.timer_->Interval(), 1u);

  ASSERT_TRUE(svc.ServiceStart());
  EXPECT_TRUE(host.timer_->Enabled());
  EXPECT_EQ(host.timer_->Interval(), 20u);  // half a tick first

  // The first cycle runs on the 61st tick, right after its initialisation.
  EXPECT_EQ(TicksUntil(host, [&] { return script.cycles == 1; }), 61);
  EXPECT_EQ(host.timer_->Interval(), 40u);
  EXPECT_EQ(script.initializes, 1);
  EXPECT_EQ(svc.LCycleSeconds, 5);

  // Cycle time 5: five ticks of waiting, the cycle on the sixth.
  EXPECT_EQ(TicksUntil(host, [&] { return script.cycles == 2; }), 6);

  // A resend delay of 1 minute: 61 ticks.
  script.resendDelay = 1;
  EXPECT_EQ(TicksUntil(host, [&] { return script.cycles == 3; }), 6);
  EXPECT_EQ(svc.LCycleSeconds, 60);
  script.resendDelay = 0;
  EXPECT_EQ(TicksUntil(host, [&] { return script.cycles == 4; }), 61);

  // A failed cycle body clears Initialized: the next due tick initialises first.
  script.cycleRaises = true;
  EXPECT_EQ(TicksUntil(host, [&] { return script.cycles == 5; }), 6);
  script.cycleRaises = false;
  EXPECT_EQ(TicksUntil(host, [&] { return script.cycles == 6; }), 6);
  EXPECT_EQ(script.initializes, 2);

  // A close that fails ends the cycle as a failed one; the wait is never
  // shorter than the cycle time.
  script.closeRaises = true;
  EXPECT_EQ(TicksUntil(host, [&] { return script.cycles == 7; }), 6);
  script.closeRaises = false;
  EXPECT_EQ(TicksUntil(host, [&] { return script.cycles == 8; }), 6);
  EXPECT_EQ(script.initializes, 2);

  svc.ServiceStop();
  EXPECT_FALSE(host.timer_->Enabled());
}

TEST_F(ServiceModuleTest, FailingCyclesBackOffToTheInitialisationInterval) {
  ManualHost host;
  TTestSvc svc(host, FDir.path().string(), script);
  script.cycleTime = 1;
  svc.ServiceStart();
  ASSERT_EQ(TicksUntil(host, [&] { return script.opens == 2; }), 61);  // Initialize and the cycle

  // The database cannot be opened: 1 second, doubling up to 300.
  script.openFails = true;
  const int expected[] = {2, 2, 3, 5, 9, 17, 33, 65, 129, 257, 301, 301};
  for (int i = 0; i < static_cast<int>(std::size(expected)); ++i) {
    const int before = script.opens;
    EXPECT_EQ(TicksUntil(host, [&] { return script.opens == before + 1; }), expected[i]) << "attempt " << i;
  }
  // At most one attempt per 301 ticks once backed off.
  const int before = script.opens;
  for (int tick = 0; tick < 600; ++tick) ASSERT_TRUE(host.timer_->Fire());
  EXPECT_LE(script.opens - before, 2);

  // Mended: the next attempt works and the cycle time applies again.
  script.openFails = false;
  const int cycles = script.cycles;
  EXPECT_GT(TicksUntil(host, [&] { return script.cycles == cycles + 1; }), 0);
  EXPECT_EQ(TicksUntil(host, [&] { return script.cycles == cycles + 2; }), 2);

  const std::vector<std::string> lines = Messages();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Cycle failed (1 in a row); next attempt in 1 seconds"),
            lines.end());
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Cycle failed (12 in a row); next attempt in 300 seconds"),
            lines.end());
  svc.ServiceStop();
}

TEST_F(ServiceModuleTest, FailedInitialisationIsRetriedEvery301Ticks) {
  ManualHost host;
  TTestSvc svc(host, FDir.path().string(), script);
  script.initializeResult = TDataCollector::TAuthorizeResult::Refused;
  svc.ServiceStart();
  EXPECT_EQ(TicksUntil(host, [&] { return script.initializes == 1; }), 61);
  EXPECT_EQ(TicksUntil(host, [&] { return script.initializes == 2; }), 301);
  EXPECT_EQ(script.cycles, 0);
  svc.ServiceStop();
}

TEST_F(ServiceModuleTest, CrashTestMarkerEscapesEveryDueTick) {
  ManualHost host;
  TTestSvc svc(host, FDir.path().string(), script);
  svc.LCycleSeconds = 0;
  svc.ServiceStart();
  std::ofstream(svc.CrashTestFile()).close();
  for (int i = 0; i < 3; ++i) {
    try {
      host.timer_->Fire();
      FAIL() << "the tick must raise";
    } catch (const EOrvelError& e) {
      EXPECT_EQ(std::string(e.what()), "QA Test Exception.  Remove " + FDir.file("crashtest.xyztxt") +
                                           " in order to return to normal operations");
    }
    EXPECT_TRUE(host.timer_->Enabled());
  }
  EXPECT_EQ(script.initializes, 0);
  std::filesystem::remove(svc.CrashTestFile());
  host.timer_->Fire();
  EXPECT_EQ(script.cycles, 1);
  svc.ServiceStop();
}

TEST_F(ServiceModuleTest, LogLinesOfStartAndStop) {
  ManualHost host;
  {
    TTestSvc svc(host, FDir.path().string(), script);
    svc.AddLog("command line");
    svc.ServiceStart();
    svc.ServiceShutdown();
    EXPECT_FALSE(host.timer_->Enabled());
    EXPECT_FALSE(host.timer_->Fire());
  }
  EXPECT_TRUE(script.destroyed);
  EXPECT_EQ(Messages(), (std::vector<std::string>{
                            "  " + std::string(50, '-'), "command line", "Service Starting",
                            "Service Start complete", "Service Shutdown", "Service Stopping",
                            "Data Collector Shutting Down", "Data Collector shutdown successfully",
                            "Service Stopped", "Service Shutdown complete"}));
}

TEST_F(ServiceModuleTest, StopDuringACycleEndsItsWaitsAndFreesTheCollectorAfterIt) {
  setenv("DC_TICK_MS", "2", 1);
  std::unique_ptr<platform::ServiceHost> host = platform::CreateServiceHost();
  TTestSvc svc(*host, FDir.path().string(), script);
  script.blockInRetrieve = true;
  int exitCode = -1;
  std::thread loop([&] { exitCode = host->Run(svc); });

  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!script.retrieving && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
  ASSERT_TRUE(script.retrieving);
  EXPECT_FALSE(script.destroyed);

  const auto stopAt = std::chrono::steady_clock::now();
  host->RequestStop();
  loop.join();
  EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 5s);
  EXPECT_EQ(exitCode, 0);
  EXPECT_TRUE(script.retrieveEnded);
  EXPECT_TRUE(script.destroyed);

  // The cycle ended (and logged so) before the collector was shut down.
  const std::vector<std::string> texts = Messages();
  auto at = [&](const std::string& text) {
    return std::find(texts.begin(), texts.end(), text) - texts.begin();
  };
  ASSERT_LT(at("No status updates were saved."), static_cast<long>(texts.size()));
  EXPECT_LT(at("Service Stopping"), at("Data Collector Shutting Down"));
  EXPECT_LT(at("No status updates were saved."), at("Data Collector Shutting Down"));
  EXPECT_EQ(texts.back(), "Service Stopped");
}

// A cycle that does not end when asked: the stop gives up after its limit,
// logs so and ends the process (exit status 1) rather than free the collector
// under the cycle or hang until the service manager kills it.
TEST_F(ServiceModuleTest, AStopThatACycleDoesNotHonourEndsTheProcessAfterTheLimit) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The dying process runs this test afresh, with a folder of its own: it
  // takes this one's from the environment, which a fresh run does not overwrite.
  setenv("DC_TEST_MODULE_FOLDER", FDir.path().string().c_str(), 0);
  EXPECT_EXIT(
      {
        setenv("DC_TICK_MS", "2", 1);
        std::unique_ptr<platform::ServiceHost> host = platform::CreateServiceHost();
        TTestSvc svc(*host, std::getenv("DC_TEST_MODULE_FOLDER"), script);
        svc.LCycleStopLimitMs = 1000;
        script.blockInRetrieve = true;
        script.ignoreStop = true;
        std::thread loop([&] { host->Run(svc); });
        while (!script.retrieving) std::this_thread::sleep_for(5ms);
        host->RequestStop();
        loop.join();
        std::_Exit(0);  // not reached: the stop ends the process
      },
      ::testing::ExitedWithCode(1), "");
  unsetenv("DC_TEST_MODULE_FOLDER");
  const std::vector<std::string> texts = Messages();
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.back(), "Service Stop: the running cycle did not end within 1 s; the process ends without waiting for it");
}

// What the service manager and the operator's console would receive.
class TRecordingReporter : public platform::ServiceReporter {
 public:
  struct Line {
    platform::ReportSeverity severity;
    std::string text;
  };
  void Report(platform::ReportSeverity severity, const std::string& text) override { lines.push_back({severity, text}); }
  void Ready() override { states.push_back("READY=1"); }
  void Status(const std::string& text) override { states.push_back("STATUS=" + text); }
  void Stopping() override { states.push_back("STOPPING=1"); }

  std::vector<Line> lines;
  std::vector<std::string> states;
};

// Each outcome of an initialisation or a cycle gives one summary line with its
// severity, and the same text as the status.
TEST_F(ServiceModuleTest, EachCycleOutcomeIsSummarisedOnceWithItsSeverity) {
  using platform::ReportSeverity;
  struct Case {
    const char* name;
    std::function<void(TScriptedCollector::Script&)> arrange;
    ReportSeverity severity;
    std::string prefix;
    std::string suffix;
  };
  const Case cases[] = {
      {"accepted", [](auto&) {}, ReportSeverity::Information, "Last post accepted ", ", 0 sales; next cycle in 5 s"},
      {"resend asked", [](auto& s) { s.resendDelay = 2; }, ReportSeverity::Warning, "Post at ",
       " not accepted; resending in 120 s"},
      {"retrieval fails", [](auto& s) { s.cycleRaises = true; }, ReportSeverity::Error,
       "Cycle failed (1 in a row): scripted failure", "; next attempt in 5 s"},
      {"database does not open", [](auto& s) { s.openFails = true; }, ReportSeverity::Error,
       "Not initialized: Could not open and verify database", "; next attempt in 300 s"},
      {"authorisation refused", [](auto& s) { s.initializeResult = TDataCollector::TAuthorizeResult::Refused; }, ReportSeverity::Error, "Not initialized",
       "; next attempt in 300 s"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TScriptedCollector::Script caseScript;
    c.arrange(caseScript);
    ManualHost host;
    TTestSvc svc(host, FDir.path().string(), caseScript);
    TRecordingReporter reporter;
    svc.SetServiceReporter(&reporter);
    ASSERT_TRUE(svc.ServiceStart());
    ASSERT_GT(TicksUntil(host, [&] { return caseScript.initializes == 1 && !reporter.lines.empty(); }), 0);

    // Event-log lines of the attempt (a first failed cycle's) come before its summary.
    ASSERT_FALSE(reporter.lines.empty());
    const std::string& line = reporter.lines.back().text;
    EXPECT_EQ(reporter.lines.back().severity, c.severity) << line;
    EXPECT_EQ(line.rfind(c.prefix, 0), 0u) << line;
    EXPECT_TRUE(line.size() >= c.suffix.size() && line.compare(line.size() - c.suffix.size(), c.suffix.size(), c.suffix) == 0)
        << line;
    svc.ServiceStop();
    EXPECT_EQ(reporter.states, (std::vector<std::string>{"READY=1", "STATUS=Started; first cycle in 60 s", "STATUS=" + line,
                                                         "STOPPING=1", "STATUS=Stopping"}));
  }
}

// An accepted post names its time and the sales it carried.
TEST_F(ServiceModuleTest, AnAcceptedPostIsSummarisedWithItsTime) {
  ManualHost host;
  TTestSvc svc(host, FDir.path().string(), script);
  TRecordingReporter reporter;
  svc.SetServiceReporter(&reporter);
  ASSERT_TRUE(svc.ServiceStart());
  ASSERT_GT(TicksUntil(host, [&] { return script.cycles == 1; }), 0);
  ASSERT_EQ(reporter.lines.size(), 1u);
  const std::string& line = reporter.lines[0].text;
  // "Last post accepted HH:MM:SS, ..."
  ASSERT_GE(line.size(), 27u) << line;
  const std::string clock = line.substr(19, 8);
  EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(clock[0])) && clock[2] == ':' && clock[5] == ':') << line;
  svc.ServiceStop();
}

// The stop limits nest: a stop's worst case (a database connection being
// opened, 180 s, plus a second) < the module's wait for a running cycle < the
// service manager's stop time-out (the unit's TimeoutStopSec, StopService).
TEST(ServiceStopLimits, NestInsideEachOther) {
  constexpr std::uint32_t kWorstCaseStopMs = 181 * 1000;
  EXPECT_LT(kWorstCaseStopMs, TDataCollectorSvc::kCycleStopLimitMs);
  EXPECT_LT(std::chrono::milliseconds(TDataCollectorSvc::kCycleStopLimitMs),
            std::chrono::duration_cast<std::chrono::milliseconds>(platform::kServiceStopTimeout));
}

}  // namespace
