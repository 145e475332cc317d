#include <algorithm>
#include <fstream>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "platform/Files.h"
#include "platform/Processes.h"
#include "support/ReportProgram.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace {

using platform::ImageFileName;
using platform::SplitCommandLine;
using platform::StartDetachedProcess;
using Args = std::vector<std::string>;

TEST(SplitCommandLineTest, SplitsTheWayWindowsProgramsDo) {
  struct Case {
    std::string line;
    Args expected;
  };
  const Case cases[] = {
      {"", {}},
      {"   \t ", {}},
      {"prog", {"prog"}},
      {"  prog  a   b  ", {"prog", "a", "b"}},
      {"prog\ta\tb", {"prog", "a", "b"}},
      {R"("C:\Program Files\DCSetup.exe" /AUTOUPDATE)", {R"(C:\Program Files\DCSetup.exe)", "/AUTOUPDATE"}},
      {R"(C:\App\DataCollector.exe /UNINSTALL /SILENT)", {R"(C:\App\DataCollector.exe)", "/UNINSTALL", "/SILENT"}},
      // The program name knows no backslash escapes; a quote toggles grouping.
      {R"(pro\"g x" y)", {R"(pro\g x)", "y"}},
      {R"(prog "a b" c)", {"prog", "a b", "c"}},
      {R"(prog a"b c"d)", {"prog", "ab cd"}},
      {R"(prog a\\b c\d)", {"prog", R"(a\\b)", R"(c\d)"}},
      {R"(prog a\"b)", {"prog", R"(a"b)"}},
      {R"(prog a\\\"b)", {"prog", R"(a\"b)"}},
      {R"(prog "a\\" b)", {"prog", R"(a\)", "b"}},
      {R"(prog "a\\\\" b)", {"prog", R"(a\\)", "b"}},
      {R"(prog "a""b" c)", {"prog", R"(a"b)", "c"}},
      {R"(prog "" x)", {"prog", "", "x"}},
      {R"(prog "unterminated arg)", {"prog", "unterminated arg"}},
      {R"x(sc sdset DataCollectorSvc "D:(A;;CCLCSWLOCRRC;;;IU)S:(AU;FA;CCDC;;;WD)")x",
       {"sc", "sdset", "DataCollectorSvc", "D:(A;;CCLCSWLOCRRC;;;IU)S:(AU;FA;CCDC;;;WD)"}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitCommandLine(c.line), c.expected) << "[" << c.line << "]";
}

TEST(ProcessesTest, ImageFileNameIsThePartAfterTheLastSeparator) {
  const std::pair<std::string, std::string> cases[] = {
      {"/usr/bin/Omnid.exe", "Omnid.exe"},
      {R"(C:\Corvane\Omnid.exe)", "Omnid.exe"},
      {"C:Omnid.exe", "Omnid.exe"},
      {"Omnid.exe", "Omnid.exe"},
      {"/usr/bin/", ""},
  };
  for (const auto& [path, name] : cases) EXPECT_EQ(ImageFileName(path), name) << path;
}

TEST(ProcessesTest, ListIncludesThisProcess) {
  std::vector<platform::ProcessEntry> processes = platform::ListProcesses();
  auto self = std::find_if(processes.begin(), processes.end(),
                           [](const platform::ProcessEntry& p) { return p.pid == static_cast<platform::ProcessId>(getpid()); });
  ASSERT_NE(self, processes.end());
  EXPECT_EQ(self->imageName, ImageFileName(platform::ExecutablePath()));
}

class StartDetachedProcessTest : public ::testing::Test {
 protected:
  TempDir dir_;
  std::string report_ = dir_.file("report.txt");
  std::string program_ = TestProgramPath("versioned_program");
};

TEST_F(StartDetachedProcessTest, RunsTheProgramWithItsArgumentsInANewSession) {
  ScopedEnv value("DC_REPORT_VALUE", "inherited");
  ScopedEnv sleep("DC_REPORT_SLEEP_MS", "3000");
  std::optional<platform::ProcessId> pid =
      StartDetachedProcess("\"" + program_ + "\" \"" + report_ + "\" /AUTOUPDATE \"two words\" a\\\"b", 5, nullptr);
  ASSERT_TRUE(pid.has_value());
  std::optional<ProgramReport> report = WaitForReport(report_);
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->pid, static_cast<long>(*pid));
  EXPECT_EQ(report->args, (Args{"/AUTOUPDATE", "two words", "a\"b"}));
  EXPECT_EQ(report->env, "inherited");
  EXPECT_NE(report->sid, static_cast<long>(getsid(0)));
  EXPECT_NE(report->ppid, static_cast<long>(getpid()));

  // While it sleeps it is in the process list under its file name.
  std::vector<platform::ProcessEntry> processes = platform::ListProcesses();
  EXPECT_TRUE(std::any_of(processes.begin(), processes.end(), [&](const platform::ProcessEntry& p) {
    return p.pid == *pid && p.imageName == "versioned_program";
  }));
  kill(static_cast<pid_t>(*pid), SIGTERM);
}

TEST_F(StartDetachedProcessTest, ProgramInheritsNoDescriptorsBeyondTheStandardOnes) {
  int inheritable = open(report_.c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(inheritable, 3);
  std::string number = std::to_string(inheritable);
  ScopedEnv fd("DC_REPORT_FD", number.c_str());
  const std::string report = dir_.file("fd-report");
  ASSERT_TRUE(StartDetachedProcess(program_ + " " + report, 0, nullptr).has_value());
  std::optional<ProgramReport> result = WaitForReport(report);
  close(inheritable);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->fd, "closed");
}

TEST_F(StartDetachedProcessTest, GivenEnvironmentReplacesTheCallers) {
  ScopedEnv value("DC_REPORT_VALUE", "inherited");
  const std::vector<std::string> environment = {"DC_REPORT_VALUE=given"};
  ASSERT_TRUE(StartDetachedProcess(program_ + " " + report_, 0, &environment).has_value());
  std::optional<ProgramReport> report = WaitForReport(report_);
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->env, "given");
}

TEST_F(StartDetachedProcessTest, FindsTheProgramAlongPath) {
  std::string folder = program_.substr(0, program_.rfind('/'));
  ScopedEnv path("PATH", ("/nonexistent:" + folder).c_str());
  ASSERT_TRUE(StartDetachedProcess("versioned_program " + report_ + " x", 0, nullptr).has_value());
  std::optional<ProgramReport> report = WaitForReport(report_);
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->args, Args{"x"});
}

TEST_F(StartDetachedProcessTest, ProgramThatCannotRunIsNotStarted) {
  const std::string notExecutable = dir_.file("plain.txt");
  { std::ofstream(notExecutable) << "text"; }
  ScopedEnv path("PATH", dir_.path().c_str());
  const std::string lines[] = {
      "",
      "   ",
      dir_.file("missing-program") + " arg",
      notExecutable,
      "plain.txt",
      "no-such-program-anywhere",
  };
  for (const std::string& line : lines) EXPECT_FALSE(StartDetachedProcess(line, 0, nullptr).has_value()) << line;
}

}  // namespace
