// The switches the program entry answers itself (usage, version, unknown
// switches), checked on the classification and on the real program, run from
// a folder of its own with a private registry hive and unit folder.

#include "service/CommandLine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "Shared/Orvel_Shared/OrvelUtils.h"
#include "platform/Files.h"
#include "service/ChildProcess.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

TEST(CommandLine, ClassifiesEverySwitchForm) {
  struct Case {
    std::vector<std::string> args;
    TCommandLineRequest request;
    std::string unknown;
  };
  const Case cases[] = {
      {{}, TCommandLineRequest::Run, ""},
      {{"DataCollector"}, TCommandLineRequest::Run, ""},
      {{"DataCollector", "/INSTALL", "/SILENT"}, TCommandLineRequest::Run, ""},
      {{"DataCollector", "-uninstall", "-Silent"}, TCommandLineRequest::Run, ""},
      {{"DataCollector", "/check"}, TCommandLineRequest::Run, ""},
      {{"DataCollector", "-ONCE"}, TCommandLineRequest::Run, ""},
      {{"DataCollector", "/Test"}, TCommandLineRequest::Run, ""},
      {{"DataCollector", "-Upgrade"}, TCommandLineRequest::Run, ""},
      // Arguments that are not switches are ignored, as before.
      {{"DataCollector", "check"}, TCommandLineRequest::Run, ""},
      {{"DataCollector", "--help"}, TCommandLineRequest::Usage, ""},
      {{"DataCollector", "-h"}, TCommandLineRequest::Usage, ""},
      {{"DataCollector", "/?"}, TCommandLineRequest::Usage, ""},
      {{"DataCollector", "/HELP"}, TCommandLineRequest::Usage, ""},
      {{"DataCollector", "/INSTALL", "-h"}, TCommandLineRequest::Usage, ""},
      {{"DataCollector", "--version"}, TCommandLineRequest::Version, ""},
      {{"DataCollector", "--VERSION", "--help"}, TCommandLineRequest::Version, ""},
      // Typos and POSIX spellings of the Windows switches are refused.
      {{"DataCollector", "/CHEK"}, TCommandLineRequest::UnknownSwitch, "/CHEK"},
      {{"DataCollector", "--check"}, TCommandLineRequest::UnknownSwitch, "--check"},
      {{"DataCollector", "--install"}, TCommandLineRequest::UnknownSwitch, "--install"},
      {{"DataCollector", "-"}, TCommandLineRequest::UnknownSwitch, "-"},
      {{"DataCollector", "/"}, TCommandLineRequest::UnknownSwitch, "/"},
      {{"DataCollector", "/INSTALL", "/SILENCE"}, TCommandLineRequest::UnknownSwitch, "/SILENCE"},
      // An unknown switch wins over a request for help, wherever it stands.
      {{"DataCollector", "--help", "/ONCE", "-x"}, TCommandLineRequest::UnknownSwitch, "-x"},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const std::string& arg : c.args) line += arg + " ";
    SCOPED_TRACE(line);
    const TCommandLineCheck check = CheckCommandLine(c.args);
    EXPECT_EQ(check.Request, c.request);
    EXPECT_EQ(check.Switch, c.unknown);
  }
}

TEST(CommandLine, UsageNamesEverySwitchTheEnvironmentAndTheLogFolder) {
  const std::string usage = UsageText("/opt/datacollector/");
  for (const std::string& name : KnownSwitchNames()) EXPECT_THAT(usage, HasSubstr("/" + name + " ")) << name;
  for (const char* text : {"--help", "-h", "/?", "--version", "DC_REGISTRY", "DC_SERVER_HOST", "DC_SERVER_PORT",
                           "DC_TICK_MS", "DC_SYSTEMD_DIR", "/opt/datacollector/LOG/", "2 unknown switch"}) {
    EXPECT_THAT(usage, HasSubstr(text)) << text;
  }
}

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

class ProgramSwitchesTest : public ::testing::Test {
 protected:
  ProgramSwitchesTest()
      : registryEnv("DC_REGISTRY", dir.file("registry.reg").c_str()),
        unitsEnv("DC_SYSTEMD_DIR", dir.file("units").c_str()),
        // Should a switch start the service by mistake, its cycles come quickly
        // and the time limit of Run ends it.
        tickEnv("DC_TICK_MS", "10") {
    program = dir.file("DataCollector");
    fs::copy_file(BuiltProgram(), program);
    fs::create_directory(dir.path() / "units");
  }

  struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
  };

  Outcome Run(const std::string& switches) const {
    const std::string command = "cd " + Quote(dir.path().string()) + " && timeout 20 " + Quote(program) + " " +
                                switches + " >" + Quote(dir.file("out.txt")) + " 2>" + Quote(dir.file("err.txt"));
    Outcome outcome;
    const int status = std::system(command.c_str());
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.out = ReadText(dir.file("out.txt"));
    outcome.err = ReadText(dir.file("err.txt"));
    return outcome;
  }

  std::string LogText() const {
    std::string text;
    if (fs::exists(dir.file("LOG"))) {
      for (const auto& entry : fs::directory_iterator(dir.file("LOG"))) text += ReadText(entry.path().string());
    }
    return text;
  }

  TempDir dir{"dc-switches"};
  ScopedEnv registryEnv;
  ScopedEnv unitsEnv;
  ScopedEnv tickEnv;
  std::string program;
};

TEST_F(ProgramSwitchesTest, AnswersHelpAndVersionAndRefusesUnknownSwitchesWithoutTouchingAnything) {
  const std::string version = GetFileVersion(program, 0);
  ASSERT_FALSE(version.empty());
  const std::string usage = UsageText((dir.path() / "").string());
  struct Case {
    std::string switches;
    int status;
    std::string out;
    std::string err;
  };
  const Case cases[] = {
      {"--help", 0, usage, ""},
      {"-h", 0, usage, ""},
      {"'/?'", 0, usage, ""},
      {"--version", 0, "Data Collector " + version + "\n", ""},
      {"/CHEK", 2, "", "DataCollector: unknown switch \"/CHEK\"\n\n" + usage},
      {"--check", 2, "", "DataCollector: unknown switch \"--check\"\n\n" + usage},
      {"/INSTALL /SILENTT", 2, "", "DataCollector: unknown switch \"/SILENTT\"\n\n" + usage},
      {"/UNINSTALL -x", 2, "", "DataCollector: unknown switch \"-x\"\n\n" + usage},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.switches);
    const Outcome outcome = Run(c.switches);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.out, c.out);
    EXPECT_EQ(outcome.err, c.err);
    // No log line, no hive, no unit, no run mark: nothing was started.
    EXPECT_FALSE(fs::exists(dir.file("LOG")));
    EXPECT_FALSE(fs::exists(dir.file("registry.reg")));
    EXPECT_TRUE(fs::is_empty(dir.file("units")));
    EXPECT_FALSE(fs::exists(dir.file("DataCollectorSvc.pid")));
  }
}

TEST_F(ProgramSwitchesTest, RefusalBesideARunningServiceIsPrinted) {
  ChildProcess first(program, {program}, dir.path().string(), {});
  // The run mark is taken before the service starts.
  ASSERT_TRUE(WaitUntil([&] { return LogText().find("Service Start complete") != std::string::npos; }, 20s));
  const Outcome second = Run("");
  EXPECT_EQ(second.status, 1);
  EXPECT_THAT(second.err, StartsWith("DataCollector: The service \"DataCollectorSvc\" is already running"));
  first.Signal(SIGTERM);
  EXPECT_EQ(first.Wait(10s), 0);
}

}  // namespace
