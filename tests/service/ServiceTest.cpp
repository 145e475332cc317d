// The DataCollector program run as a child process from a folder of its own,
// with an empty registry hive and a 10 ms tick.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Shared/Orvel_Shared/DateTime.h"
#include "Shared/Orvel_Shared/OrvelUtils.h"
#include "platform/Files.h"
#include "service/ChildProcess.h"
#include "service/NotifySocket.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string ProgramPath() {
  if (const char* dir = std::getenv("DC_TEST_BINARY_DIR")) return std::string(dir) + "/src/service/DataCollector";
  // Run by hand: the program lies in the same build tree as this test.
  return (fs::path(platform::ExecutablePath()).parent_path() / "../../src/service/DataCollector")
      .lexically_normal()
      .string();
}

struct LogLine {
  TDateTime time = 0;
  std::string text;
};

class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FProgram = FDir.file("DataCollector");
    fs::copy_file(ProgramPath(), FProgram);
    std::ofstream(FDir.file("registry.reg")).close();
    FVersion = GetFileVersion(FProgram, 0);
  }

  std::unique_ptr<ChildProcess> Start(std::vector<std::string> args = {}, int tickMs = 10,
                                      std::map<std::string, std::string> environment = {},
                                      const std::string& errorFile = {}) {
    args.insert(args.begin(), FProgram);
    environment["DC_REGISTRY"] = FDir.file("registry.reg");
    environment["DC_TICK_MS"] = std::to_string(tickMs);
    return std::make_unique<ChildProcess>(FProgram, args, FDir.path().string(), environment, errorFile);
  }

  // Every line of every day's log, in order, the time stamp parsed.
  std::vector<LogLine> Log() const {
    std::vector<std::string> files;
    if (fs::exists(FDir.file("LOG"))) {
      for (const auto& entry : fs::directory_iterator(FDir.file("LOG"))) {
        if (entry.path().extension() == ".LOG") files.push_back(entry.path().string());
      }
    }
    std::sort(files.begin(), files.end());
    std::vector<LogLine> lines;
    for (const std::string& file : files) {
      std::ifstream in(file, std::ios::binary);
      std::string line;
      while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() < 25 || line[2] != '/') continue;  // the header
        if (line.substr(25) == "Log File Created.") continue;
        LogLine parsed;
        parsed.time = EncodeDateTime(std::stoi(line.substr(6, 4)), std::stoi(line.substr(0, 2)),
                                     std::stoi(line.substr(3, 2)), std::stoi(line.substr(11, 2)),
                                     std::stoi(line.substr(14, 2)), std::stoi(line.substr(17, 2)),
                                     std::stoi(line.substr(20, 3)));
        parsed.text = line.substr(25);
        lines.push_back(parsed);
      }
    }
    return lines;
  }
  std::vector<std::string> Messages() const {
    std::vector<std::string> texts;
    for (const LogLine& line : Log()) texts.push_back(line.text);
    return texts;
  }
  int CountOf(const std::string& text) const {
    const std::vector<std::string> texts = Messages();
    return static_cast<int>(std::count(texts.begin(), texts.end(), text));
  }
  std::string ReadFile(const std::string& path) const {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::string CrashReports() const {
    std::string all;
    if (!fs::exists(FDir.file("LOG"))) return all;
    for (const auto& entry : fs::directory_iterator(FDir.file("LOG"))) {
      if (entry.path().extension() == ".elf") all += ReadFile(entry.path().string());
    }
    return all;
  }

  TempDir FDir{"dc-service"};
  std::string FProgram;
  std::string FVersion;
};

const std::string kSeparator = "  " + std::string(50, '-');

TEST_F(ServiceTest, RunsCyclesOnScheduleAndStopsCleanlyOnSigterm) {
  ASSERT_FALSE(FVersion.empty());
  auto child = Start();
  ASSERT_TRUE(WaitUntil([&] { return CountOf("Data Collector Initializing") >= 2; }, 30s))
      << ::testing::PrintToString(Messages());
  child->Signal(SIGTERM);
  ASSERT_EQ(child->Wait(20s), 0);

  const std::vector<LogLine> log = Log();
  const std::vector<std::string> texts = Messages();
  ASSERT_GE(texts.size(), 6u);
  EXPECT_EQ(texts[0], kSeparator);
  EXPECT_EQ(texts[1], FProgram);
  EXPECT_EQ(texts[2], "Service Starting");
  EXPECT_EQ(texts[3], "Service Start complete");
  EXPECT_EQ(texts[4], "Data Collector (" + FVersion + ") Ready");
  EXPECT_EQ(texts[5], "Data Collector Initializing");

  // 60 ticks to the first initialisation, 301 between attempts.
  std::vector<TDateTime> attempts;
  for (const LogLine& line : log) {
    if (line.text == "Data Collector Initializing") attempts.push_back(line.time);
  }
  const double toFirst = (attempts[0] - log[3].time) * kSecondsPerDay;
  const double between = (attempts[1] - attempts[0]) * kSecondsPerDay;
  EXPECT_GE(toFirst, 0.60);
  EXPECT_LT(toFirst, 10.0);
  EXPECT_GE(between, 3.01);
  EXPECT_LT(between, 30.0);

  // The stop ends the log.
  const auto stopping = std::find(texts.begin(), texts.end(), "Service Stopping");
  ASSERT_NE(stopping, texts.end());
  EXPECT_THAT(std::vector<std::string>(stopping, texts.end()),
              ::testing::IsSupersetOf({"Data Collector Shutting Down",
                                       "Data Collector shutdown successfully"}));
  EXPECT_EQ(texts.back(), "Service Stopped");
}

TEST_F(ServiceTest, StopBeforeTheFirstCycleRunsNoCycle) {
  auto child = Start({}, 200);  // 12 s before the first cycle
  ASSERT_TRUE(WaitUntil([&] { return CountOf("Service Start complete") == 1; }, 10s));
  child->Signal(SIGINT);
  ASSERT_EQ(child->Wait(20s), 0);
  EXPECT_EQ(CountOf("Data Collector Initializing"), 0);
  EXPECT_EQ(Messages().back(), "Service Stopped");
}

TEST_F(ServiceTest, ShutdownNoticeStopsTheService) {
  auto child = Start();
  ASSERT_TRUE(WaitUntil([&] { return CountOf("Service Start complete") == 1; }, 10s));
  child->Signal(SIGUSR1);
  ASSERT_EQ(child->Wait(20s), 0);
  const std::vector<std::string> texts = Messages();
  const auto shutdown = std::find(texts.begin(), texts.end(), "Service Shutdown");
  ASSERT_NE(shutdown, texts.end());
  EXPECT_EQ(*(shutdown + 1), "Service Stopping");
  EXPECT_EQ(texts.back(), "Service Shutdown complete");
  EXPECT_EQ(CountOf("Service Stopped"), 1);
}

TEST_F(ServiceTest, UpgradeSwitchOnlyLeavesItsMarker) {
  for (const char* option : {"-UPGRADE", "/upgrade"}) {
    auto child = Start({option});
    ASSERT_EQ(child->Wait(20s), 0) << option;
  }
  EXPECT_EQ(Messages(),
            (std::vector<std::string>{kSeparator, FProgram + " -UPGRADE",
                                      "Upgrade to DataCollectorSvc (" + FVersion + ")",
                                      kSeparator, FProgram + " /upgrade",
                                      "Upgrade to DataCollectorSvc (" + FVersion + ")"}));
  const std::string today = DateToYYYYMMDD(DateTimeNow());
  EXPECT_TRUE(fs::exists(FDir.file("LOG/------x---_DataCollector_" + today + ".LOG")));
}

TEST_F(ServiceTest, CrashTestMarkerRaisesEveryDueTickUntilRemoved) {
  const std::string marker = FDir.file("crashtest.xyztxt");
  std::ofstream(marker).close();
  const std::string message =
      "QA Test Exception.  Remove " + marker + " in order to return to normal operations";
  auto child = Start();
  auto reports = [&] {
    const std::string all = CrashReports();
    int count = 0;
    for (size_t at = all.find(message); at != std::string::npos; at = all.find(message, at + 1)) ++count;
    return count;
  };
  ASSERT_TRUE(WaitUntil([&] { return reports() >= 3; }, 30s));
  EXPECT_EQ(CountOf("Data Collector Initializing"), 0);
  EXPECT_NE(CrashReports().find("Stack trace:"), std::string::npos);

  fs::remove(marker);
  ASSERT_TRUE(WaitUntil([&] { return CountOf("Data Collector Initializing") == 1; }, 30s));
  child->Signal(SIGTERM);
  ASSERT_EQ(child->Wait(20s), 0);
  const std::string today = DateToYYYYMMDD(DateTimeNow());
  EXPECT_TRUE(fs::exists(FDir.file("LOG/------x---_DataCollector_" + today + ".elf")));
}

TEST_F(ServiceTest, FatalSignalLeavesACrashReport) {
  auto child = Start();
  ASSERT_TRUE(WaitUntil([&] { return CountOf("Service Start complete") == 1; }, 10s));
  child->Signal(SIGABRT);
  EXPECT_EQ(child->Wait(20s), 128 + SIGABRT);
  const std::string reports = CrashReports();
  EXPECT_NE(reports.find("Fatal signal SIGABRT"), std::string::npos) << reports;
  EXPECT_NE(reports.find("Stack trace:"), std::string::npos);
}

// Started as systemd starts a notify service: the state goes to the notify
// socket, and the event-log lines and one summary per initialisation to
// standard error, each with its severity.
TEST_F(ServiceTest, TellsTheServiceManagerItsStateAndSummarisesEachAttemptOnStandardError) {
  NotifySocket manager(FDir.file("notify.sock"));
  const std::string errors = FDir.file("stderr.txt");
  auto child = Start({}, 10, {{"NOTIFY_SOCKET", manager.path()}}, errors);
  ASSERT_TRUE(WaitUntil([&] { return manager.HasMessage("STATUS=Not initialized"); }, 30s))
      << ::testing::PrintToString(manager.Received());
  child->Signal(SIGTERM);
  ASSERT_EQ(child->Wait(20s), 0);

  const std::vector<std::string> received = manager.Received();
  ASSERT_GE(received.size(), 5u) << ::testing::PrintToString(received);
  EXPECT_EQ(received[0], "READY=1");
  EXPECT_EQ(received[1], "STATUS=Started; first cycle in 60 s");
  EXPECT_EQ(received[2].rfind("STATUS=Not initialized", 0), 0u) << received[2];
  EXPECT_NE(received[2].find("; next attempt in 300 s"), std::string::npos) << received[2];
  EXPECT_EQ(received[received.size() - 2], "STOPPING=1");
  EXPECT_EQ(received.back(), "STATUS=Stopping");

  const std::string text = ReadFile(errors);
  EXPECT_NE(text.find("DataCollectorSvc: error: " + received[2].substr(7) + "\n"), std::string::npos) << text;
}

// Without a service manager (no NOTIFY_SOCKET) the summaries still reach
// standard error and the service runs and stops as ever.
TEST_F(ServiceTest, WithoutAServiceManagerSummariesGoToStandardErrorOnly) {
  const std::string errors = FDir.file("stderr.txt");
  auto child = Start({}, 10, {{"NOTIFY_SOCKET", ""}}, errors);
  ASSERT_TRUE(WaitUntil([&] { return ReadFile(errors).find("error: Not initialized") != std::string::npos; }, 30s))
      << ReadFile(errors);
  child->Signal(SIGTERM);
  ASSERT_EQ(child->Wait(20s), 0);
  EXPECT_EQ(Messages().back(), "Service Stopped");
}

// SIGHUP: logged, the log file reopened (a file moved away by a log rotation
// is started afresh), and the service carries on.
TEST_F(ServiceTest, ReloadSignalIsLoggedReopensTheLogAndTheServiceCarriesOn) {
  auto child = Start({}, 200);
  ASSERT_TRUE(WaitUntil([&] { return CountOf("Service Start complete") == 1; }, 10s));
  const std::string today = FDir.file("LOG/------x---_DataCollector_" + DateToYYYYMMDD(DateTimeNow()) + ".LOG");
  fs::rename(today, today + ".1");
  child->Signal(SIGHUP);
  ASSERT_TRUE(WaitUntil([&] { return CountOf("Reload request received: the log file is reopened") == 1; }, 10s));
  EXPECT_FALSE(child->Wait(300ms).has_value()) << "the service ended";
  child->Signal(SIGTERM);
  ASSERT_EQ(child->Wait(20s), 0);
  EXPECT_EQ(Messages().back(), "Service Stopped");
}

// Daily logs and crash reports older than LogRetentionDays go at the first
// line of a process (and of each day); 0 keeps them all.
TEST_F(ServiceTest, OldDailyLogsAreRemovedAfterTheRetention) {
  struct Case {
    const char* retention;  // nullptr: the value is missing
    bool removes100;
    bool removes10;
  };
  const Case cases[] = {{nullptr, true, false}, {"0", false, false}, {"5", true, true}, {"400", false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.retention ? c.retention : "(missing)");
    fs::remove_all(FDir.file("LOG"));
    fs::create_directories(FDir.file("LOG"));
    std::ofstream hive(FDir.file("registry.reg"), std::ios::trunc);
    hive << "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Orvel]\r\n\r\n"
         << "[HKEY_LOCAL_MACHINE\\Software\\Orvel\\DataCollector]\r\n";
    if (c.retention) hive << "\"LogRetentionDays\"=\"" << c.retention << "\"\r\n";
    hive.close();
    const std::string old100 = "SITE01_DataCollector_" + DateToYYYYMMDD(DateTimeNow() - 100) + ".LOG";
    const std::string old100Report = "------x---_DataCollector_" + DateToYYYYMMDD(DateTimeNow() - 100) + ".elf";
    const std::string old10 = "------x---_DataCollector_" + DateToYYYYMMDD(DateTimeNow() - 10) + ".LOG";
    for (const std::string& name : {old100, old100Report, old10}) std::ofstream(FDir.file("LOG/" + name)) << "x\r\n";

    auto child = Start({"-UPGRADE"});
    ASSERT_EQ(child->Wait(20s), 0);
    EXPECT_EQ(fs::exists(FDir.file("LOG/" + old100)), !c.removes100);
    EXPECT_EQ(fs::exists(FDir.file("LOG/" + old100Report)), !c.removes100);
    EXPECT_EQ(fs::exists(FDir.file("LOG/" + old10)), !c.removes10);
    const std::vector<std::string> texts = Messages();
    const bool logged = std::any_of(texts.begin(), texts.end(), [](const std::string& text) {
      return text.rfind("Removed ", 0) == 0 && text.find("(LogRetentionDays)") != std::string::npos;
    });
    EXPECT_EQ(logged, c.removes100 || c.removes10) << ::testing::PrintToString(texts);
  }
}

}  // namespace
