// The site prerequisite checks against a private registry and real processes.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "platform/Processes.h"
#include "support/HiveText.h"
#include "support/SiteTestCollector.h"
#include "support/TempDir.h"

namespace {

using Lines = std::vector<std::string>;

TEST(SiteChecks, BasicSystemChecksReportTheFirstFailure) {
  struct Case {
    const char* name;
    std::function<void(TSiteRegistry&)> change;
    std::string message;  // empty: all checks pass
  };
  const Case cases[] = {
      {"all satisfied", [](TSiteRegistry&) {}, ""},
      {"not installed", [](TSiteRegistry& r) { r.Installed = false; },
       "ERROR: Corvane is not installed (no installation in the registry <hive>)"},
      {"hub without database path",
       [](TSiteRegistry& r) {
         r.InstallType = "Hub";
         r.Database = "";
       },
       "ERROR: Corvane installation is not a server installation"},
      {"workstation", [](TSiteRegistry& r) { r.InstallType = "Workstation"; },
       "ERROR: Corvane installation is not a server installation"},
      {"no path", [](TSiteRegistry& r) { r.Path = ""; }, "ERROR: No Corvane installation path found"},
      {"no database", [](TSiteRegistry& r) { r.Database = ""; }, "ERROR: No database path found"},
      {"version 18.8.99.1", [](TSiteRegistry& r) { r.Stage = "18.8.99.1"; },
       "ERROR: Corvane Version 18.8.99.1 is not supported (19.2.x, or 18.9.x or higher required)"},
      {"empty version", [](TSiteRegistry& r) { r.Stage = ""; },
       "ERROR: Corvane Version  is not supported (19.2.x, or 18.9.x or higher required)"},
      {"version 18.9", [](TSiteRegistry& r) { r.Stage = "18.9"; }, ""},
      {"version 18.10.1", [](TSiteRegistry& r) { r.Stage = "18.10.1"; }, ""},
      {"version 19.0", [](TSiteRegistry& r) { r.Stage = "19.0"; }, ""},
      {"version abc", [](TSiteRegistry& r) { r.Stage = "abc"; }, ""},
      {"no client token", [](TSiteRegistry& r) { r.ClientToken = ""; },
       "ERROR: Client token not found. Please re-install the Data Collector service"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TSiteTestCollector collector;
    TSiteRegistry registry;
    registry.Database = "/data/site.fdb";
    c.change(registry);
    collector.Configure(registry);
    EXPECT_EQ(collector.BasicSystemChecksOK(), c.message.empty());
    std::string message = c.message;
    if (const size_t at = message.find("<hive>"); at != std::string::npos) {
      message.replace(at, 6, collector.Registry().path());
    }
    EXPECT_EQ(collector.TakeLines(), message.empty() ? Lines{} : Lines{message});
  }
}

// A copy of a waiting program under a chosen file name. It ends by itself
// after a few seconds (the platform layer starts processes but ends none), so
// that an "Omnid.exe" started here is soon gone for the other tests.
class TNamedProcess {
 public:
  TNamedProcess(const TempDir& dir, const std::string& name) {
    const std::string path = dir.file(name);
    std::filesystem::copy_file("/bin/sleep", path);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    const auto pid = platform::StartDetachedProcess("\"" + path + "\" 3", 0, nullptr);
    if (!pid) throw std::runtime_error("cannot start " + path);
    FPid = *pid;
    // Wait until the process runs under its new image.
    for (int i = 0; i < 200 && !Listed(name); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  uint32_t Pid() const { return FPid; }

 private:
  bool Listed(const std::string& name) const {
    for (const auto& p : platform::ListProcesses()) {
      if (p.pid == FPid && p.imageName == name) return true;
    }
    return false;
  }
  uint32_t FPid = 0;
};

TEST(SiteChecks, FindProcessIDMatchesTheImageFileName) {
  TempDir dir("dc-processes");
  // Names unique to this test run, so that other tests' processes cannot match.
  const std::string base = "DcCheck" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                           std::to_string(std::chrono::steady_clock::now().time_since_epoch().count() % 100000);
  const TNamedProcess upper(dir, base + "UP.EXE");
  const TNamedProcess backup(dir, base + "bak.exe.bak");
  TSiteTestCollector collector;

  struct Case {
    std::string wanted;
    uint32_t exclude;
    uint32_t expected;
  };
  const Case cases[] = {
      {base + "up.exe", 0, upper.Pid()},                          // case of letters ignored
      {"C:\\Corvane\\" + base + "Up.Exe", 0, upper.Pid()},        // folder of the wanted name ignored
      {"C:" + base + "UP.EXE", 0, upper.Pid()},
      {base + "UP.EXE", upper.Pid(), 0},                          // the excluded process
      {base + "bak.exe", 0, 0},                                   // "x.exe.bak" is not "x.exe"
      {base + "bak.exe.bak", 0, backup.Pid()},
      {base + "missing.exe", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.wanted);
    EXPECT_EQ(collector.FindProcessID(c.wanted, c.exclude), c.expected);
  }
}

TEST(SiteChecks, TransactionManagerRunsWhileOmnidRuns) {
  TempDir dir("dc-omnid");
  TSiteTestCollector collector;
  const TNamedProcess omnid(dir, "OMNID.EXE");
  EXPECT_TRUE(collector.TransactionManagerRunning());
  EXPECT_NE(collector.FindProcessID("Omnid.exe", 0), 0u);
}

TEST(SiteChecks, RivoConversionPendingFollowsTheUpdateStatus) {
  struct Case {
    const char* version;    // nullptr: no value
    const char* completed;  // nullptr: no value
    bool pending;
  };
  const Case cases[] = {
      {"23.0.9", nullptr, false}, {"23.0.9", "", false},   {nullptr, nullptr, false},
      {"23.1", nullptr, true},    {"23.1.0", "", true},    {"24.2", nullptr, true},
      {"23.1", "yes", false},     {"23.1", "0", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.version ? c.version : "(none)") + " / " +
                 (c.completed ? c.completed : "(none)"));
    TSiteTestCollector collector;
    HiveText text;
    text.Key("Software\\Orvel\\UpdateStatus");
    if (c.version) text.String("Version", c.version);
    text.Key("Software\\Orvel\\SiteStatus");
    if (c.completed) text.String("SPIP-RivoConversionCompleted", c.completed);
    collector.Registry().Write(text);
    EXPECT_EQ(collector.RivoConversionPending(), c.pending);
  }
}

TEST(SiteChecks, RivoConversionRaisesForAMalformedVersion) {
  TSiteTestCollector collector;
  collector.Registry().Write(HiveText().Key("Software\\Orvel\\UpdateStatus").String("Version", "23.1a"));
  try {
    collector.RivoConversionPending();
    FAIL() << "no error";
  } catch (const EVersionException& error) {
    EXPECT_STREQ(error.what(), "Version number has incorrect format (23.1a) or (23.1)");
  }
}

TEST(SiteChecks, HistoryOlderThanThreeYearsIsDropped) {
  const TDateTime today = DateOf(DateTimeNow());
  TDateTimeFields f = DecodeDateTime(today);
  f.year -= 3;
  if (f.month == 2 && f.day == 29) f.day = 28;
  const TDateTime limit = EncodeDateTime(f.year, f.month, f.day);

  struct Case {
    const char* name;
    TDateTime start, end;
    bool dropped;
  };
  const Case cases[] = {
      {"no history", 0, 0, false},
      {"recent", today - 30, today - 20, false},
      {"start on the limit", limit, today - 20, false},
      {"start a day before the limit", limit - 1, today - 20, true},
      {"end a second before the limit", 0, limit - 1.0 / 86400, true},
      {"end unset, start recent", today - 10, 0, false},
      {"start unset, end old", 0, limit - 400, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TSiteTestCollector collector;
    TDataCollectorStatusObj status;
    status.ActiveHistoryStart = c.start;
    status.ActiveHistoryEnd = c.end;
    status.ActiveHistoryFactID = 54711;
    status.CurrentHistoryStart = today - 9;
    status.CurrentHistoryEnd = today - 8;
    status.LastCycleEnd = today;
    TDataCollectorStatusObj expected = status;
    if (c.dropped) {
      expected.ActiveHistoryStart = expected.ActiveHistoryEnd = 0;
      expected.CurrentHistoryStart = expected.CurrentHistoryEnd = 0;
      expected.ActiveHistoryFactID = 0;
    }
    collector.CheckHistoryAge(status);
    EXPECT_EQ(status, expected);
    EXPECT_EQ(collector.TakeLines(),
              c.dropped ? Lines{"History sending stopped. Detected date older than 3 years ago"} : Lines{});
  }
}

}  // namespace
