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

using platform::StartDetachedProcess;
using Args = std::vector<std::string>;

class StartDetachedProcessTest : public ::testing::Test {
 protected:
  TempDir dir_;
  std::string report_ = dir_.file("report.txt");
  std::string program_ = TestProgramPath("versioned_program");
};

TEST_F(StartDetachedProcessTest, ProgramRunsInANewSessionAndIsNoChildOfTheCaller) {
  ScopedEnv sleep("DC_REPORT_SLEEP_MS", "3000");
  std::optional<platform::ProcessId> pid = StartDetachedProcess("\"" + program_ + "\" \"" + report_ + "\" x", 5, nullptr);
  ASSERT_TRUE(pid.has_value());
  std::optional<ProgramReport> report = WaitForReport(report_);
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->pid, static_cast<long>(*pid));
  EXPECT_NE(report->sid, static_cast<long>(getsid(0)));
  EXPECT_NE(report->ppid, static_cast<long>(getpid()));
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

TEST_F(StartDetachedProcessTest, FindsTheProgramAlongPath) {
  std::string folder = program_.substr(0, program_.rfind('/'));
  ScopedEnv path("PATH", ("/nonexistent:" + folder).c_str());
  ASSERT_TRUE(StartDetachedProcess("versioned_program " + report_ + " x", 0, nullptr).has_value());
  std::optional<ProgramReport> report = WaitForReport(report_);
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->args, Args{"x"});
}

TEST_F(StartDetachedProcessTest, AFileWithoutExecutePermissionIsNotStarted) {
  const std::string notExecutable = dir_.file("plain.txt");
  { std::ofstream(notExecutable) << "text"; }
  ScopedEnv path("PATH", dir_.path().c_str());
  for (const std::string& line : {notExecutable, std::string("plain.txt")})
    EXPECT_FALSE(StartDetachedProcess(line, 0, nullptr).has_value()) << line;
}

}  // namespace
