// Installing and removing the service with the DataCollector program itself,
// run from a folder of its own with a private registry hive and unit folder.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Shared/Orvel_Shared/OrvelUtils.h"
#include "platform/Files.h"
#include "platform/Registry.h"
#include "platform/ServiceControl.h"
#include "service/ChildProcess.h"
#include "firebird/SiteDatabase.h"
#include "support/FixtureDatabase.h"
#include "support/ScopedEnv.h"
#include "support/SigningKey.h"
#include "support/SiteTestCollector.h"
#include "support/StatsServer.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsSupersetOf;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

const char kServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\DataCollectorSvc";
const char kEventSourceKey[] = "SYSTEM\\CurrentControlSet\\Services\\Eventlog\\Application\\DataCollectorSvc";

std::string BuiltProgram() {
  if (const char* dir = std::getenv("DC_TEST_BINARY_DIR")) return std::string(dir) + "/src/service/DataCollector";
  return (fs::path(platform::ExecutablePath()).parent_path() / "../../src/service/DataCollector")
      .lexically_normal()
      .string();
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Quote(const std::string& text) { return "'" + text + "'"; }

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

class InstallTest : public ::testing::Test {
 protected:
  InstallTest()
      : registryEnv("DC_REGISTRY", dir.file("registry.reg").c_str()),
        unitsEnv("DC_SYSTEMD_DIR", dir.file("units").c_str()) {
    program = dir.file("DataCollector");
    fs::copy_file(BuiltProgram(), program);
    fs::create_directory(dir.path() / "units");
    std::ofstream(dir.file("registry.reg")).close();
    version = GetFileVersion(program, 0);
  }

  // Runs the program to its end with the given switches.
  Outcome Run(const std::string& switches) const {
    const std::string command = "cd " + Quote(dir.path().string()) + " && " + Quote(program) + " " + switches +
                                " >" + Quote(dir.file("out.txt")) + " 2>" + Quote(dir.file("err.txt"));
    Outcome outcome;
    const int status = std::system(command.c_str());
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.out = ReadText(dir.file("out.txt"));
    outcome.err = ReadText(dir.file("err.txt"));
    return outcome;
  }

  std::vector<std::string> Messages() const {
    std::vector<std::string> files;
    if (fs::exists(dir.file("LOG"))) {
      for (const auto& entry : fs::directory_iterator(dir.file("LOG"))) {
        if (entry.path().extension() == ".LOG") files.push_back(entry.path().string());
      }
    }
    std::sort(files.begin(), files.end());
    std::vector<std::string> texts;
    for (const std::string& file : files) {
      std::istringstream in(ReadText(file));
      std::string line;
      while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() < 25 || line[2] != '/' || line.substr(25) == "Log File Created.") continue;
        texts.push_back(line.substr(25));
      }
    }
    return texts;
  }

  std::optional<platform::RegistryValue> Value(const std::string& key, const std::string& name) const {
    return platform::OpenRegistryHive(platform::RegistryRoot::LocalMachine)->ReadValue(key, name);
  }
  bool KeyExists(const std::string& key) const {
    return platform::OpenRegistryHive(platform::RegistryRoot::LocalMachine)->KeyExists(key);
  }

  TempDir dir{"dc-install"};
  ScopedEnv registryEnv;
  ScopedEnv unitsEnv;
  std::string program;
  std::string version;
};

TEST_F(InstallTest, SilentInstallLeavesTheRecordsLogsTheStepsAndPrintsNothing) {
  ASSERT_FALSE(version.empty());
  const Outcome outcome = Run("/INSTALL /SILENT");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out, "");
  EXPECT_EQ(outcome.err, "");

  EXPECT_EQ(Value(kServiceKey, "ImagePath"),
            platform::RegistryValue::Text(program, platform::RegistryValueType::ExpandString));
  EXPECT_EQ(Value(kServiceKey, "DisplayName"), platform::RegistryValue::Text("Data Collector"));
  EXPECT_EQ(Value(kServiceKey, "Start"), platform::RegistryValue::DWord(2));
  EXPECT_EQ(Value(kServiceKey, "Description"),
            platform::RegistryValue::Text("Collects data for the Corvane Quorix Service."));
  EXPECT_EQ(Value(kEventSourceKey, "EventMessageFile"), platform::RegistryValue::Text(program));
  EXPECT_EQ(Value(kEventSourceKey, "TypesSupported"), platform::RegistryValue::DWord(7));
  EXPECT_EQ(platform::OpenServiceControl("")->SecurityDescriptor("DataCollectorSvc"),
            "D:(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;LCRPWP;;;AU)"
            "(A;;CCLCSWLOCRRC;;;IU)(A;;CCLCSWLOCRRC;;;SU)S:(AU;FA;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;WD)");
  const std::string unit = ReadText(dir.file("units/DataCollectorSvc.service"));
  EXPECT_THAT(unit, HasSubstr("ExecStart=\"" + program + "\"\n"));
  // The service reads the hive the installation was given.
  EXPECT_THAT(unit, HasSubstr("Environment=\"DC_REGISTRY=" + dir.file("registry.reg") + "\"\n"));

  const std::vector<std::string> log = Messages();
  ASSERT_GE(log.size(), 5u);
  EXPECT_EQ(log[1], program + " /INSTALL /SILENT");
  EXPECT_EQ(log[2], "Preparing to install DataCollectorSvc (" + version + ")");
  EXPECT_THAT(log, Contains("The systemd unit " + dir.file("units/DataCollectorSvc.service") +
                            " was written but not enabled: the unit folder is not systemd's own "
                            "(DC_SYSTEMD_DIR)"));
  EXPECT_EQ(log[log.size() - 2], "Installing DataCollectorSvc (" + version + ")");
  EXPECT_EQ(log.back(), "Install completed");
}

TEST_F(InstallTest, InstallReportsSuccessUnlessSilentAndFailureAlways) {
  // Success is only claimed for an enabled unit; otherwise the next step says
  // how to enable it.
  const Outcome first = Run("-install");
  EXPECT_EQ(first.status, 0);
  const std::string unit = dir.file("units/DataCollectorSvc.service");
  EXPECT_EQ(first.out, "Service installed, but its unit " + unit +
                           " was not enabled (the unit folder is not systemd's own (DC_SYSTEMD_DIR))\n"
                           "Next step: copy " + unit + " to /etc/systemd/system, then run systemctl daemon-reload "
                           "and systemctl enable --now DataCollectorSvc\n");

  for (const char* switches : {"-install", "/Install /Silent"}) {
    SCOPED_TRACE(switches);
    const Outcome again = Run(switches);
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.out, "");
    EXPECT_EQ(again.err,
              "Service \"Data Collector\" failed to install with error: \"The specified service already exists.\"\n");
  }
  // The failed attempts left the first installation alone.
  EXPECT_TRUE(Value(kServiceKey, "Description").has_value());
}

TEST_F(InstallTest, UninstallOfAMissingServiceFails) {
  const Outcome outcome = Run("/UNINSTALL /SILENT");
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err,
            "Service \"Data Collector\" failed to uninstall with error: \"The specified service does not exist "
            "as an installed service.\"\n");
}

// Whether the site database holds the collector's status table.
bool HasStatusTable(const TFixtureDatabase& fixture) {
  TSiteDatabase check;
  fixture.Connect(check);
  check.StartTransaction();
  TSiteQuery query(check, "select count(*) cnt from rdb$relations where rdb$relation_name = 'DC_STATUS'");
  query.Open();
  const bool found = query.AsInteger("cnt") != 0;
  query.Close();
  check.Commit();
  return found;
}

TEST_F(InstallTest, UninstallStopsTheRunningServiceAndRemovesTheRecordsAndTheCollectorsStructures) {
  TFixtureDatabase fixture;
  {
    TSiteTestCollector collector;
    fixture.Connect(collector.Database());
    collector.StartTransaction();
    collector.VerifyDBStructures(false);
    collector.CloseDatabase();
  }
  ASSERT_TRUE(HasStatusTable(fixture));
  TSiteRegistry site;
  site.Database = fixture.Path();
  std::ofstream(dir.file("registry.reg"), std::ios::trunc) << site.Text();

  ASSERT_EQ(Run("/INSTALL /SILENT").status, 0);
  ChildProcess service(program, {program}, dir.path().string(), {{"DC_REGISTRY", dir.file("registry.reg")}, {"DC_TICK_MS", "10"}});
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(dir.file("DataCollectorSvc.pid")); }, 20s));
  ASSERT_TRUE(WaitUntil(
      [&] {
        const auto log = Messages();
        return std::find(log.begin(), log.end(), "Data Collector (" + version + ") Ready") != log.end();
      },
      20s));

  const Outcome outcome = Run("/UNINSTALL");
  EXPECT_EQ(outcome.status, 0) << outcome.err;
  // What it removes, the collector's tables in the site database included.
  EXPECT_EQ(outcome.out.rfind("Removing the service DataCollectorSvc:\n  the running service, now stopped\n", 0), 0u)
      << outcome.out;
  for (const std::string& line : std::vector<std::string>{
           "  the collector's tables and trigger in the site database (the collector's steps follow)\n",
        "    Dropping the DC_STATUS table\n",
        "  its record SYSTEM\\CurrentControlSet\\Services\\DataCollectorSvc in " + dir.file("registry.reg") +
            ", and its unit with the service manager\n",
        "  its event source SYSTEM\\CurrentControlSet\\Services\\Eventlog\\Application\\DataCollectorSvc\n"}) {
    EXPECT_THAT(outcome.out, HasSubstr(line));
  }
  EXPECT_LT(outcome.out.find("Dropping the DC_STATUS table"), outcome.out.find("  its record "));
  EXPECT_EQ(outcome.out.substr(outcome.out.size() - 33), "Service uninstalled successfully\n");
  EXPECT_EQ(service.Wait(5s), 0) << "the service did not end when it was stopped";

  const std::vector<std::string> log = Messages();
  const auto at = [&](const std::string& text) {
    return std::find(log.begin(), log.end(), text) - log.begin();
  };
  EXPECT_LT(at("Preparing to uninstall DataCollectorSvc (" + version + ")"), at("Service Stopping"));
  EXPECT_LT(at("Service Stopping"), at("Service Stopped"));
  EXPECT_LT(at("Service Stopped"), at("Stopped the running service during uninstall"));
  EXPECT_LT(at("Stopped the running service during uninstall"),
            at("Uninstalling DataCollectorSvc (" + version + ")"));
  EXPECT_LT(at("Uninstalling DataCollectorSvc (" + version + ")"), at("Uninstall complete"));
  EXPECT_LT(at("Uninstall complete"), static_cast<long>(log.size()));

  EXPECT_THAT(log, Contains("Dropping the DC_STATUS table"));
  EXPECT_FALSE(HasStatusTable(fixture));
  EXPECT_FALSE(KeyExists(kServiceKey));
  EXPECT_FALSE(KeyExists(kEventSourceKey));
  EXPECT_FALSE(fs::exists(dir.file("units/DataCollectorSvc.service")));
  EXPECT_FALSE(fs::exists(dir.file("DataCollectorSvc.pid")));
}

TEST_F(InstallTest, SecondServiceProcessIsRefusedWhileOneRuns) {
  ChildProcess first(program, {program}, dir.path().string(), {{"DC_REGISTRY", dir.file("registry.reg")}, {"DC_TICK_MS", "10"}});
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(dir.file("DataCollectorSvc.pid")); }, 20s));
  ChildProcess second(program, {program}, dir.path().string(), {{"DC_REGISTRY", dir.file("registry.reg")}, {"DC_TICK_MS", "10"}});
  EXPECT_EQ(second.Wait(10s), 1);
  EXPECT_THAT(Messages(), Contains(HasSubstr("Exception: The service \"DataCollectorSvc\" is already running")));
  first.Signal(SIGTERM);
  EXPECT_EQ(first.Wait(10s), 0);
}

TEST_F(InstallTest, ServerOrderedUninstallRemovesTheServiceThroughTheProgramItself) {
  TFixtureDatabase fixture;
  TSiteRegistry site;
  site.Database = fixture.Path();
  std::ofstream(dir.file("registry.reg"), std::ios::trunc) << site.Text();
  StatsServer server;
  server.enqueue("{\"Uninstall\":true,\"Authenticated\":true}");
  ScopedEnv serverHost("DC_SERVER_HOST", "127.0.0.1");
  ScopedEnv serverPort("DC_SERVER_PORT", std::to_string(server.port()).c_str());
  // A stand-in for the site's Transaction Manager, which initialisation requires.
  const std::string omnid = dir.file("Omnid.exe");
  fs::create_symlink(fs::exists("/bin/sleep") ? "/bin/sleep" : "/usr/bin/sleep", omnid);
  ChildProcess transactionManager(omnid, {omnid, "600"}, dir.path().string(), {});

  ASSERT_EQ(Run("/INSTALL /SILENT").status, 0);
  ChildProcess service(program, {program}, dir.path().string(), {{"DC_TICK_MS", "20"}});
  EXPECT_EQ(service.Wait(60s), 0) << "the started uninstall did not stop the service: "
                                  << ::testing::PrintToString(Messages());
  // The started copy's last step.
  ASSERT_TRUE(WaitUntil(
      [&] {
        const auto log = Messages();
        return std::find(log.begin(), log.end(), "Uninstall complete") != log.end();
      },
      30s))
      << ::testing::PrintToString(Messages());
  EXPECT_FALSE(KeyExists(kServiceKey));

  const std::vector<std::string> log = Messages();
  const auto at = [&](const std::string& text) {
    return std::find(log.begin(), log.end(), text) - log.begin();
  };
  EXPECT_LT(at("Uninstall requested from server..."), at("Starting uninstall of service"));
  EXPECT_LT(at("Starting uninstall of service"), at("Preparing to shut down to uninstall"));
  EXPECT_LT(at("Preparing to shut down to uninstall"), at(program + " /UNINSTALL /SILENT"));
  EXPECT_LT(at(program + " /UNINSTALL /SILENT"), at("Service Stopped"));
  EXPECT_LT(at("Service Stopped"), at("Stopped the running service during uninstall"));
  EXPECT_LT(at("Stopped the running service during uninstall"), at("Uninstall complete"));
  EXPECT_LT(at("Uninstall complete"), static_cast<long>(log.size()));
  EXPECT_FALSE(KeyExists(kEventSourceKey));
  EXPECT_FALSE(fs::exists(dir.file("units/DataCollectorSvc.service")));
  EXPECT_FALSE(HasStatusTable(fixture));
  EXPECT_EQ(server.requests().size(), 1u) << "the collector went on after the uninstall";
}

TEST_F(InstallTest, ServerOrderedUpdateStartsTheUpdaterAndTheServiceStopsCycling) {
  TFixtureDatabase fixture;
  TSiteRegistry site;
  site.Database = fixture.Path();
  // Updaters are trusted when signed by this key.
  SigningKey key;
  std::ofstream(dir.file("registry.reg"), std::ios::trunc)
      << site.Hive().Key("Software\\Orvel\\DataCollector").String("UpdatePublicKey", key.PublicKey()).Text();
  StatsServer server;
  const std::string updaterSource = fs::path(BuiltProgram()).parent_path().parent_path().parent_path() /
                                    "tests/support/recording_updater";
  std::string bytes = ReadText(updaterSource);
  ASSERT_LE(bytes.size(), 2000000u);
  bytes.resize(2000000, '\0');
  std::ofstream(server.files() / "DCSetup.bin", std::ios::binary) << bytes;
  std::ofstream(server.files() / "DCSetup.bin.sig", std::ios::binary) << key.Sign(bytes);
  server.enqueue("{\"UpdateURL\":\"" + server.url("/files/DCSetup.bin") + "\"}");
  ScopedEnv serverHost("DC_SERVER_HOST", "127.0.0.1");
  ScopedEnv serverPort("DC_SERVER_PORT", std::to_string(server.port()).c_str());
  const std::string omnid = dir.file("Omnid.exe");
  fs::create_symlink(fs::exists("/bin/sleep") ? "/bin/sleep" : "/usr/bin/sleep", omnid);
  ChildProcess transactionManager(omnid, {omnid, "600"}, dir.path().string(), {});

  ChildProcess service(program, {program}, dir.path().string(), {{"DC_TICK_MS", "20"}});
  const std::string updater = dir.file("DCSetup.exe");
  ASSERT_TRUE(WaitUntil([&] { return fs::exists(updater + ".cmdline"); }, 60s))
      << ::testing::PrintToString(Messages());
  EXPECT_EQ(ReadText(updater + ".cmdline"), updater + "\n/AUTOUPDATE\n");
  ASSERT_TRUE(WaitUntil(
      [&] {
        const auto log = Messages();
        return std::find(log.begin(), log.end(), "Preparing to shut down for update") != log.end();
      },
      10s));
  // Well past the time of several cycles at this tick: nothing more is sent.
  std::this_thread::sleep_for(2s);
  EXPECT_EQ(server.requests().size(), 3u) << "Authorize, the download and its signature only";
  service.Signal(SIGTERM);
  EXPECT_EQ(service.Wait(20s), 0);

  const std::vector<std::string> log = Messages();
  const auto at = [&](const std::string& text) {
    return std::find(log.begin(), log.end(), text) - log.begin();
  };
  EXPECT_LT(at("New Update available from " + server.url("/files/DCSetup.bin")), at("Update file size: 2000000"));
  EXPECT_LT(at("Update file size: 2000000"), at("Update file version: 2.6.1"));
  EXPECT_LT(at("Update file version: 2.6.1"), at("Launching Updater..."));
  EXPECT_LT(at("Launching Updater..."), at("Preparing to shut down for update"));
  EXPECT_LT(at("Preparing to shut down for update"), at("Service Stopped"));
  EXPECT_LT(at("Service Stopped"), static_cast<long>(log.size()));
}

}  // namespace
