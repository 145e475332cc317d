// The service records, their units and stopping a running service, with a
// private registry hive and unit folder.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <utility>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/Files.h"
#include "platform/Registry.h"
#include "platform/ServiceControl.h"
#include "support/ScopedEnv.h"
#include "platform/Processes.h"
#include "support/ScopedRegistry.h"
#include "support/TempDir.h"

namespace {

using ::testing::HasSubstr;
using ::testing::ElementsAre;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using namespace platform;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class ServiceControlTest : public ::testing::Test {
 protected:
  ServiceControlTest() : units("DC_SYSTEMD_DIR", dir.file("units").c_str()) {
    fs::create_directory(dir.path() / "units");
    fs::create_directory(dir.path() / "program");
    // The fake services below are this test program: the service's program
    // must be it, or stopping would refuse to signal them.
    fs::create_symlink(platform::ExecutablePath(), dir.path() / "program/DataCollector");
  }

  ServiceDefinition Definition(const std::string& program = "DataCollector") const {
    return {"TestSvc", "Test Service", dir.file("program/" + program), {}};
  }
  std::string UnitFile() const { return dir.file("units/TestSvc.service"); }
  std::optional<RegistryValue> Value(const std::string& name) const {
    return OpenRegistryHive(RegistryRoot::LocalMachine)->ReadValue(ServiceRecordKey("TestSvc"), name);
  }

  // A child process that marks itself as the running service TestSvc and
  // waits; with ignoreStop it does not end on SIGTERM.
  pid_t StartFakeService(bool ignoreStop) {
    int ready[2];
    EXPECT_EQ(::pipe(ready), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::close(ready[0]);
      if (ignoreStop) ::signal(SIGTERM, SIG_IGN);
      try {
        auto mark = MarkServiceRunning("TestSvc", dir.file("program"));
        const char ok = 'k';
        if (::write(ready[1], &ok, 1) != 1) ::_exit(3);
        for (;;) ::pause();
      } catch (...) {
        ::_exit(2);
      }
    }
    ::close(ready[1]);
    char answer = 0;
    EXPECT_EQ(::read(ready[0], &answer, 1), 1);
    ::close(ready[0]);
    children.push_back(pid);
    return pid;
  }

  void TearDown() override {
    for (const pid_t pid : children) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
  }

  TempDir dir{"service-control"};
  ScopedRegistry registry;
  ScopedEnv units;
  std::vector<pid_t> children;
};

TEST_F(ServiceControlTest, InstallWritesTheRecordAndAUnitThatRunsTheProgramInTheForeground) {
  auto control = OpenServiceControl("");
  const ServiceInstallReport report = control->InstallService(Definition());

  EXPECT_TRUE(control->ServiceExists("TestSvc"));
  EXPECT_TRUE(ServiceExists("", "testsvc"));
  EXPECT_EQ(Value("Type"), RegistryValue::DWord(0x10));
  EXPECT_EQ(Value("Start"), RegistryValue::DWord(2));
  EXPECT_EQ(Value("ErrorControl"), RegistryValue::DWord(1));
  EXPECT_EQ(Value("ImagePath"),
            RegistryValue::Text(dir.file("program/DataCollector"), RegistryValueType::ExpandString));
  EXPECT_EQ(Value("DisplayName"), RegistryValue::Text("Test Service"));
  EXPECT_EQ(Value("ObjectName"), RegistryValue::Text("LocalSystem"));

  EXPECT_EQ(report.unitFile, UnitFile());
  EXPECT_FALSE(report.unitEnabled);
  EXPECT_THAT(report.note, HasSubstr("DC_SYSTEMD_DIR"));
  const std::string unit = ReadText(UnitFile());
  EXPECT_THAT(unit, HasSubstr("ExecStart=\"" + dir.file("program/DataCollector") + "\"\n"));
  for (const char* line : {"Type=notify\n", "RuntimeDirectory=datacollector\n", "Restart=on-failure\n",
                           "KillSignal=SIGTERM\n", "KillMode=process\n", "TimeoutStopSec=200\n",
                           "WantedBy=multi-user.target\n"}) {
    EXPECT_THAT(unit, HasSubstr(line));
  }
  EXPECT_THAT(report.nextStep, HasSubstr("systemctl enable --now TestSvc"));
}

// The service reads the hive /INSTALL was given: the unit names it, as an
// absolute path written so that systemd takes every character literally.
TEST_F(ServiceControlTest, UnitPassesAHiveThatIsNotTheDefaultOn) {
  const struct {
    std::string given;
    std::string line;
  } cases[] = {
      {registry.path(), "Environment=\"DC_REGISTRY=" + registry.path() + "\"\n"},
      {"relative/hive.reg", "Environment=\"DC_REGISTRY=" + fs::current_path().string() + "/relative/hive.reg\"\n"},
      {dir.file("100% \"odd\".reg"), "Environment=\"DC_REGISTRY=" + dir.file("100%% \\\"odd\\\".reg") + "\"\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.given);
    ScopedEnv hive("DC_REGISTRY", c.given.c_str());
    auto control = OpenServiceControl("");
    control->InstallService(Definition());
    EXPECT_THAT(ReadText(UnitFile()), HasSubstr(c.line));
    control->RemoveService("TestSvc");
  }
  fs::remove_all("relative");
}

TEST_F(ServiceControlTest, UnitCommandLineKeepsEveryCharacterOfThePathLiterally) {
  const struct {
    std::string program;
    std::string word;
  } cases[] = {
      {"Data Collector", "Data Collector\""},
      {"100%", "100%%\""},
      {"a$HOME", "a$$HOME\""},
      {"q\"uote", "q\\\"uote\""},
      {"back\\slash", "back\\\\slash\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.program);
    auto control = OpenServiceControl("");
    control->InstallService(Definition(c.program));
    EXPECT_THAT(ReadText(UnitFile()), HasSubstr("ExecStart=\"" + dir.file("program/") + c.word + "\n"));
    control->RemoveService("TestSvc");
  }
}

TEST_F(ServiceControlTest, RecordsCannotBeCreatedTwiceOrRemovedWhenMissing) {
  auto control = OpenServiceControl("localhost");
  control->InstallService(Definition());
  EXPECT_THROW(
      {
        try {
          control->InstallService(Definition());
        } catch (const ServiceControlError& e) {
          EXPECT_STREQ(e.what(), "The specified service already exists.");
          throw;
        }
      },
      ServiceControlError);

  control->SetSecurityDescriptor("TestSvc", "D:(A;;LCRPWP;;;AU)");
  EXPECT_EQ(control->SecurityDescriptor("TestSvc"), "D:(A;;LCRPWP;;;AU)");

  control->RemoveService("TestSvc");
  EXPECT_FALSE(control->ServiceExists("TestSvc"));
  EXPECT_FALSE(OpenRegistryHive(RegistryRoot::LocalMachine)->KeyExists(ServiceRecordKey("TestSvc")));
  EXPECT_FALSE(fs::exists(UnitFile()));
  try {
    control->RemoveService("TestSvc");
    ADD_FAILURE() << "removed a missing service";
  } catch (const ServiceControlError& e) {
    EXPECT_STREQ(e.what(), "The specified service does not exist as an installed service.");
  }
  EXPECT_THROW(control->SetSecurityDescriptor("TestSvc", "D:"), ServiceControlError);
}

TEST_F(ServiceControlTest, InstallThatCannotWriteTheUnitLeavesNoRecord) {
  ScopedEnv missing("DC_SYSTEMD_DIR", dir.file("no/such/folder").c_str());
  auto control = OpenServiceControl("");
  EXPECT_THROW(control->InstallService(Definition()), ServiceControlError);
  EXPECT_FALSE(control->ServiceExists("TestSvc"));
  EXPECT_FALSE(OpenRegistryHive(RegistryRoot::LocalMachine)->KeyExists(ServiceRecordKey("TestSvc")));
}

TEST_F(ServiceControlTest, OtherComputersCannotBeReached) {
  OpenServiceControl("")->InstallService(Definition());
  EXPECT_THROW(OpenServiceControl("far-away-host"), ServiceControlError);
  EXPECT_FALSE(ServiceExists("far-away-host", "TestSvc"));
  EXPECT_FALSE(StopService("far-away-host", "TestSvc"));
  EXPECT_TRUE(ServiceExists("  ", "TestSvc"));
}

TEST_F(ServiceControlTest, StoppingAServiceThatIsNotRunningOrDoesNotExistSucceedsAtOnce) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(StopService("", "NoSuchSvc"));
  OpenServiceControl("")->InstallService(Definition());
  EXPECT_TRUE(StopService("", "TestSvc"));
  // A run mark left by a process that died holds no lock.
  std::ofstream(dir.file("program/TestSvc.pid")) << "999999\n";
  EXPECT_TRUE(StopService("", "TestSvc"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST_F(ServiceControlTest, StopEndsTheRunningServiceAndWaitsForIt) {
  OpenServiceControl("")->InstallService(Definition());
  const pid_t pid = StartFakeService(false);
  auto control = OpenServiceControl("");
  EXPECT_EQ(control->QueryStatus("TestSvc").state, ServiceState::Running);

  EXPECT_TRUE(StopService("", "TestSvc"));
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, WNOHANG), pid) << "StopService returned before the service ended";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  children.clear();
  EXPECT_EQ(control->QueryStatus("TestSvc").state, ServiceState::Stopped);
}

// Started by systemd (RUNTIME_DIRECTORY), the service keeps its run mark in
// the unit's runtime folder, so its program's folder may be read-only; a stop
// finds it there, and a second copy started from a shell is refused.
TEST_F(ServiceControlTest, RunMarkInTheRuntimeFolderIsFoundByStopAndByASecondCopy) {
  fs::create_directory(dir.path() / "run");
  OpenServiceControl("")->InstallService(Definition());
  pid_t pid = 0;
  {
    ScopedEnv runtime("RUNTIME_DIRECTORY", dir.file("run").c_str());
    pid = StartFakeService(false);
    EXPECT_TRUE(fs::exists(dir.file("run/TestSvc.pid")));
    EXPECT_FALSE(fs::exists(dir.file("program/TestSvc.pid")));
    // The test program is the fake service's program too.
    try {
      MarkServiceRunning("TestSvc", dir.file("program"));
      ADD_FAILURE() << "a second run mark was granted";
    } catch (const ServiceControlError& e) {
      EXPECT_THAT(e.what(), HasSubstr("already running (process " + std::to_string(pid) + ")"));
    }
    EXPECT_EQ(OpenServiceControl("")->QueryStatus("TestSvc").state, ServiceState::Running);
    EXPECT_TRUE(StopService("", "TestSvc"));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, WNOHANG), pid) << "StopService returned before the service ended";
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  children.clear();
  EXPECT_FALSE(fs::exists(dir.file("program/TestSvc.pid")));
}

TEST_F(ServiceControlTest, StopGivesUpOnAServiceThatDoesNotEnd) {
  OpenServiceControl("")->InstallService(Definition());
  StartFakeService(true);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(StopService("", "TestSvc", 600ms));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, 600ms);
  EXPECT_LT(waited, 3s);
}

TEST_F(ServiceControlTest, RunMarkAdmitsOneProcessAndIsRemovedAtTheEnd) {
  const std::string folder = dir.file("program");
  {
    auto mark = MarkServiceRunning("TestSvc", folder);
    EXPECT_EQ(mark->path(), dir.file("program/TestSvc.pid"));
    EXPECT_EQ(std::stol(ReadText(mark->path())), static_cast<long>(::getpid()));
    try {
      MarkServiceRunning("TestSvc", folder);
      ADD_FAILURE() << "a second run mark was granted";
    } catch (const ServiceControlError& e) {
      EXPECT_THAT(e.what(), HasSubstr("already running (process " + std::to_string(::getpid()) + ")"));
    }
  }
  EXPECT_FALSE(fs::exists(dir.file("program/TestSvc.pid")));
  EXPECT_THROW(MarkServiceRunning("TestSvc", dir.file("no/such/folder")), ServiceControlError);
}

// Another program (sleep) holding a lock on path, opened before it started.
pid_t StartOtherProgramHolding(const std::string& path) {
  int ready[2];
  EXPECT_EQ(::pipe(ready), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(ready[0]);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CREAT, 0644);
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0) ::_exit(2);
    const char ok = 'k';
    if (::write(ready[1], &ok, 1) != 1) ::_exit(3);
    ::close(ready[1]);
    ::execl(fs::exists("/bin/sleep") ? "/bin/sleep" : "/usr/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
    ::_exit(4);
  }
  ::close(ready[1]);
  char answer = 0;
  EXPECT_EQ(::read(ready[0], &answer, 1), 1);
  ::close(ready[0]);
  // Until exec has happened, the child still runs this test program.
  for (int i = 0; i < 200 && fs::read_symlink("/proc/" + std::to_string(pid) + "/exe").filename() != "sleep"; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return pid;
}

TEST_F(ServiceControlTest, AStaleRunMarkIsRemovedWithANoticeAndTheNewOneIsPrivate) {
  const std::string mark = dir.file("program/TestSvc.pid");
  const pid_t killed = StartFakeService(false);
  ::kill(killed, SIGKILL);
  ::waitpid(killed, nullptr, 0);
  children.clear();
  ASSERT_TRUE(fs::exists(mark)) << "a killed service leaves its mark";

  std::vector<std::string> notices;
  {
    auto runMark = MarkServiceRunning("TestSvc", dir.file("program"), [&](const std::string& text) {
      notices.push_back(text);
    });
    EXPECT_THAT(notices, ElementsAre("Removed the stale run mark " + mark + ": no process holds it"));
    EXPECT_EQ(fs::status(mark).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  }

  // A mark that another program holds locked does not keep the service from starting.
  const pid_t other = StartOtherProgramHolding(mark);
  children.push_back(other);
  notices.clear();
  auto runMark = MarkServiceRunning("TestSvc", dir.file("program"), [&](const std::string& text) {
    notices.push_back(text);
  });
  EXPECT_THAT(notices, ElementsAre("Removed the stale run mark " + mark +
                                   ": it is held by a process that is not this program"));
  EXPECT_EQ(std::stol(ReadText(mark)), static_cast<long>(::getpid()));
}

TEST_F(ServiceControlTest, StopNeverSignalsAProcessThatDoesNotRunTheServicesProgram) {
  OpenServiceControl("")->InstallService(Definition());
  const std::string mark = dir.file("program/TestSvc.pid");
  // The mark of a dead service, its number since taken by an unrelated program
  // that also holds the lock.
  const pid_t other = StartOtherProgramHolding(mark);
  children.push_back(other);
  std::ofstream(mark) << other << "\n";

  auto control = OpenServiceControl("");
  try {
    control->SendStop("TestSvc");
    ADD_FAILURE() << "no error";
  } catch (const ServiceControlError& e) {
    EXPECT_THAT(e.what(), HasSubstr("names process " + std::to_string(other) + ", which does not run"));
  }
  EXPECT_EQ(::waitpid(other, nullptr, WNOHANG), 0) << "the unrelated process was signalled";
  EXPECT_FALSE(StopService("", "TestSvc", 300ms));
  EXPECT_EQ(::waitpid(other, nullptr, WNOHANG), 0);
}

// The output and exit status of a shell command.
std::pair<int, std::string> RunShell(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return {-1, ""};
  char buffer[512];
  while (const size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  const int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

TEST_F(ServiceControlTest, UnitRunsTheServiceSandboxedWithItsFoldersWritable) {
  ServiceDefinition service = Definition();
  fs::create_directory(dir.path() / "LOG");
  service.writableFolders = {dir.file("LOG") + "/", dir.file("program"), "relative/folder", "", "/srv/site db/%d"};
  OpenServiceControl("")->InstallService(service);
  const std::string unit = ReadText(UnitFile());
  for (const char* line : {"UMask=0077\n", "PrivateTmp=yes\n", "NoNewPrivileges=yes\n", "ProtectSystem=full\n",
                           "ProtectHome=yes\n", "KillMode=process\n"}) {
    EXPECT_THAT(unit, HasSubstr(line));
  }
  // The program's folder must exist; the others are skipped when missing.
  EXPECT_THAT(unit, HasSubstr("ReadWritePaths=\"" + dir.file("program") + "\" -\"" +
                              fs::path(registry.path()).parent_path().string() + "\" -\"" + dir.file("LOG") +
                              "\" -\"/srv/site db/%%d\"\n"));

  if (RunShell("command -v systemd-analyze").first != 0) GTEST_SKIP() << "systemd-analyze is not installed";
  const auto [status, output] = RunShell("systemd-analyze verify '" + UnitFile() + "'");
  EXPECT_EQ(status, 0) << output;
}

TEST(TransientUnitTest, SystemProgramsRunAsATransientUnitThatOutlivesTheService) {
  EXPECT_EQ(platform::TransientUnitCommand({"/opt/dc/DCSetup.exe", "/AUTOUPDATE"}, "datacollector-update-1"),
            (std::vector<std::string>{"systemd-run", "--unit=datacollector-update-1", "--collect", "--no-block",
                                      "--quiet", "--property=KillMode=process", "--", "/opt/dc/DCSetup.exe",
                                      "/AUTOUPDATE"}));
  // Outside a systemd service (as here, unless the tests run in one) programs start directly.
  ScopedEnv invocation("INVOCATION_ID", "");
  EXPECT_FALSE(platform::RunsAsSystemdService());
}

}  // namespace
