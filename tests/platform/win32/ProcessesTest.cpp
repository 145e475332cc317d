// Processes on Windows: the Toolhelp snapshot and CreateProcess.
#include "platform/Processes.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "platform/win32/Helper.h"
#include "support/TempDir.h"
#include "support/WaitUntil.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(Win32ProcessesTest, TheSnapshotHoldsThisProcessByItsImageName) {
  const std::vector<platform::ProcessEntry> processes = platform::ListProcesses();
  const auto self = std::find_if(processes.begin(), processes.end(), [](const platform::ProcessEntry& entry) {
    return entry.pid == GetCurrentProcessId();
  });
  ASSERT_NE(self, processes.end());
  EXPECT_EQ(self->imageName, platform::ImageFileName(platform::ExecutablePath()));
}

TEST(Win32ProcessesTest, DetachedProcessesGetTheirCommandLineAndEnvironment) {
  TempDir dir;
  const std::string record = dir.file("record.txt");
  const std::string command = "\"" + HelperProgram() + "\" record \"" + record + "\"";
  struct Case {
    const char* name;
    std::vector<std::string> environment;
    bool replace;
    std::string value;
  };
  const Case cases[] = {
      {"own environment", {}, false, "(none)"},
      {"replaced environment", {"DC_HELPER_VALUE=Zoë", "SystemRoot=C:\\windows"}, true, "Zo\xEB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(record.c_str());
    const auto pid = platform::StartDetachedProcess(command, SW_HIDE, c.replace ? &c.environment : nullptr);
    ASSERT_TRUE(pid.has_value());
    EXPECT_GT(*pid, 0u);
    ASSERT_TRUE(WaitUntil([&] { return ReadAll(record).find('\n') != ReadAll(record).rfind('\n'); },
                          std::chrono::seconds(30)));
    const std::string text = ReadAll(record);
    EXPECT_EQ(text.substr(0, text.find('\n')), command);
    // The C library of the helper reads its environment in the ANSI code page.
    EXPECT_EQ(text.substr(text.find('\n') + 1), c.value + "\n");
  }
}

TEST(Win32ProcessesTest, ProgramsThatCannotBeStartedGiveNothing) {
  TempDir dir;
  std::ofstream(dir.file("not-a-program.exe")) << "text";
  for (const std::string& command : {std::string(""), std::string("   "), dir.file("missing.exe") + " x",
                                     "\"" + dir.file("not-a-program.exe") + "\""}) {
    SCOPED_TRACE(command);
    EXPECT_EQ(platform::StartDetachedProcess(command, SW_HIDE, nullptr), std::nullopt);
  }
  EXPECT_FALSE(platform::RunsAsSystemdService());
  EXPECT_EQ(platform::TransientUnitCommand({"a.exe", "/X"}, "unit"), (std::vector<std::string>{"a.exe", "/X"}));
}

}  // namespace
