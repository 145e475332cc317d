#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Shared/Orvel_Shared/OrvelClasses.h"
#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "Shared/Orvel_Shared/OrvelUtils.h"
#include "platform/Files.h"
#include "platform/VersionInfo.h"
#include "support/HiveText.h"
#include "support/ReportProgram.h"
#include "support/ScopedEnv.h"
#include "support/ScopedRegistry.h"
#include "support/TempDir.h"

namespace {

TEST(TextHelpersTest, TrimTextRemovesBlanksAndControlsAtBothEnds) {
  const struct {
    std::string text;
    std::string trimmed;
  } cases[] = {
      {"", ""},
      {" \t\r\n", ""},
      {std::string("\0\x01 a b\x1F\x7F ", 9), "a b\x1F\x7F"},
      {"\xC3\xA9 ", "\xC3\xA9"},
      {"abc", "abc"},
  };
  for (const auto& c : cases) EXPECT_EQ(TrimText(c.text), c.trimmed) << c.text;
}

TEST(TextHelpersTest, SameTextAsciiIgnoresOnlyTheCaseOfAsciiLetters) {
  EXPECT_TRUE(SameTextAscii("", ""));
  EXPECT_TRUE(SameTextAscii("Omnid.EXE", "omnid.exe"));
  EXPECT_FALSE(SameTextAscii("omnid.exe", "omnid.ex"));
  EXPECT_FALSE(SameTextAscii("\xC3\x89", "\xC3\xA9"));
  EXPECT_FALSE(SameTextAscii("[", "{"));
}

TEST(VersionTextTest, NextVersionPartTakesOneComponent) {
  struct Case {
    std::string text;
    int part;
    std::string rest;
  };
  const Case cases[] = {
      {"19.2.0.113", 19, "2.0.113"}, {"113", 113, ""},       {"", 0, ""},
      {".5", 0, "5"},                {"07.1", 7, "1"},       {"x.1", -1, "1"},
      {"1b", -1, ""},                {"2147483647", 2147483647, ""},
      {"2147483648.1", -1, "1"},     {" 1.2", -1, "2"},      {"-3.1", -3, "1"},
  };
  for (const Case& c : cases) {
    std::string s = c.text;
    EXPECT_EQ(NextVersionPart(s), c.part) << c.text;
    EXPECT_EQ(s, c.rest) << c.text;
  }
}

TEST(VersionTextTest, FormatVersion) {
  struct Case {
    std::string text;
    int count;
    std::string expected;
  };
  const Case cases[] = {
      {"19.2.0.113", 3, "19.2.0"}, {"19.2.0.113", 0, "19.2.0.113"}, {"19.2.0.0", 0, "19.2.0"},
      {"7", 3, "7.0.0"},           {"07.01", 0, "7.1.0"},           {"1.2b", 3, "1.2b"},
      {"1.2b", 0, "1.2b"},         {"", 3, ""},                     {"", 0, ""},
      {"1.2.3.4.5", 5, "1.2.3.4.5"}, {"1.2", 1, "1"},               {"1..3", 4, "1.0.3.0"},
      {"2.5.8.10", -1, "2.5.8.10"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatVersion(c.text, c.count), c.expected) << c.text << " " << c.count;
}

TEST(VersionTextTest, CompareVersions) {
  struct Case {
    std::string v1;
    std::string v2;
    int count;
    int expected;
  };
  const Case cases[] = {
      {"19.2.1", "19.2.5", 2, 0},  {"19.2.1", "19.2.5", 3, -1}, {"", "23.1", 3, -1},
      {"23.1", "23.1.0", 3, 0},    {"23.0.9", "23.1", 3, -1},   {"24", "23.9.9", 3, 1},
      {"18.x", "19.2", 2, -1},     {"1.2", "1.1", 0, 0},        {"1.2", "1.1", -4, 0},
      {"10.0", "9.0", 1, 1},
  };
  for (const Case& c : cases)
    EXPECT_EQ(CompareVersions(c.v1, c.v2, c.count), c.expected) << c.v1 << " " << c.v2 << " " << c.count;

  const std::pair<std::string, std::string> malformed[] = {{"19.x", "19.2"}, {"19.2", "19.2b"}, {"23.1a", "23.1"}};
  for (const auto& [v1, v2] : malformed) {
    try {
      CompareVersions(v1, v2, 2);
      ADD_FAILURE() << v1 << " " << v2;
    } catch (const EVersionException& error) {
      EXPECT_EQ(std::string(error.what()), "Version number has incorrect format (" + v1 + ") or (" + v2 + ")");
    }
  }
}

TEST(VersionTextTest, IsVersionOlder) {
  struct Case {
    std::string version;
    std::string required;
    bool older;
  };
  const Case cases[] = {
      {"18.8.9.9", "18.9.0.0", true}, {"18.9.0.0", "18.9.0.0", false}, {"19.0", "18.9.0.0", false},
      {"", "18.9.0.0", true},         {"x.1", "18.9.0.0", false},      {"18.9.0.0", "x.1", false},
      {"18.y", "18.9.0.0", false},    {"18.9.x", "18.9.0.0", true},    {"18.9.0.1", "18.9.0.0", false},
      {"18.9.0.0", "18.9.0.1", true},
  };
  for (const Case& c : cases) EXPECT_EQ(IsVersionOlder(c.version, c.required), c.older) << c.version;
}

void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  std::string filler(1000, 'x');
  out << filler;
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out << filler;
}

TEST(FileVersionTest, TextOfTheFirstTranslation) {
  TempDir dir;
  platform::VersionBlock block;
  block.translations = {{0x0407, 0x04e4}, {0x0409, 0x04b0}};
  block.strings["\\StringFileInfo\\040704e4\\FileVersion"] = "  19.02.0.113\r\n";
  block.strings["\\StringFileInfo\\040904b0\\FileVersion"] = "1.0.0.0";
  block.strings["\\StringFileInfo\\040704e4\\Empty"] = "";
  WriteFile(dir.file("prog.exe"), platform::EncodeVersionBlock(block));
  EXPECT_EQ(GetVersionInfoString(dir.file("prog.exe"), "FileVersion"), "19.02.0.113");
  EXPECT_EQ(GetVersionInfoString(dir.file("prog.exe"), "ProductVersion"), "");
  EXPECT_EQ(GetVersionInfoString(dir.file("prog.exe"), "Empty"), "");
  EXPECT_EQ(GetFileVersion(dir.file("prog.exe"), 3), "19.2.0");
  EXPECT_EQ(GetFileVersion(dir.file("prog.exe"), 0), "19.2.0.113");

  platform::VersionBlock noTranslation;
  noTranslation.strings["\\StringFileInfo\\040904b0\\FileVersion"] = "1.0";
  WriteFile(dir.file("bare.exe"), platform::EncodeVersionBlock(noTranslation));
  EXPECT_EQ(GetVersionInfoString(dir.file("bare.exe"), "FileVersion"), "");
  EXPECT_EQ(GetFileVersion(dir.file("missing.exe"), 3), "");

  EXPECT_EQ(GetFileVersion(TestProgramPath("versioned_program"), 3), "19.2.0");
  EXPECT_EQ(GetFileVersion(TestProgramPath("versioned_program"), 0), "19.2.0.113");
  EXPECT_EQ(GetFileVersion(TestProgramPath("unversioned_program"), 0), "");
}

TEST(FileVersionTest, CollectorVersionIsTheRunningProgramsOwn) {
  // This test program carries no version block.
  EXPECT_EQ(GetCollectorVersion(), "");
  for (const std::string program : {"versioned_program", "unversioned_program"}) {
    TempDir dir;
    ASSERT_NE(RunProcess(TestProgramPath(program) + " " + dir.file("report"), 0), 0u);
    std::optional<ProgramReport> report = WaitForReport(dir.file("report"));
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->version, program == "versioned_program" ? "19.2.0.113" : "") << program;
  }
}

TEST(FoldersTest, ApplicationAndTempFolders) {
  std::string executable = platform::ExecutablePath();
  EXPECT_EQ(GetApplicationFolder(), executable.substr(0, executable.rfind('/') + 1));
  TempDir dir;
  ScopedEnv tmp("TMPDIR", dir.path().c_str());
  EXPECT_EQ(GetTempFolder(), dir.path().string() + "/");
}

TEST(FoldersTest, SiteInstallPathGetsATrailingSeparator) {
  const auto install = [] { return HiveText().Key("Software\\Orvel\\Install"); };
  const std::pair<std::string, std::string> cases[] = {
      {install().String("PATH", "/opt/corvane"), "/opt/corvane/"},
      {install().String("PATH", "/opt/corvane/"), "/opt/corvane/"},
      {install().String("PATH", ""), ""},
      {install().String("Other", "x"), ""},
      {install().DWord("PATH", 1), ""},
  };
  for (const auto& [hive, expected] : cases) {
    ScopedRegistry registry(hive);
    EXPECT_EQ(GetSiteInstallPath(), expected) << hive;
  }
  ScopedRegistry empty;
  EXPECT_EQ(GetSiteInstallPath(), "");
}

// GetLogFolderFor on a program laid out under a temporary root.
class LogFolderTest : public ::testing::Test {
 protected:
  LogFolderTest()
      : tmp_("TMPDIR", Folder(root_.path() / "tmp").c_str()),
        systemLog_("DC_SYSTEM_LOG_DIR", (root_.path() / "var/log/datacollector").c_str()) {
    std::filesystem::create_directories(root_.path() / "opt/app/bin");
  }

  static std::string Folder(const std::filesystem::path& path) {
    std::filesystem::create_directories(path);
    return path.string();
  }

  std::string Program(const std::string& name, bool readOnly) {
    std::string path = root_.file("opt/app/bin/" + name);
    { std::ofstream(path) << "program"; }
    chmod(path.c_str(), readOnly ? 0555 : 0755);
    return path;
  }
  std::string Root(const std::string& relative) { return (root_.path() / relative).string(); }

  TempDir root_;
  ScopedEnv tmp_;
  ScopedEnv systemLog_;
  ScopedRegistry registry_;
};

unsigned ModeOf(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

TEST_F(LogFolderTest, WritableProgramLogsBesideItself) {
  const std::pair<std::string, std::string> cases[] = {
      {"DataCollector", "opt/app/bin/LOG/"},
      {"DataCollector.exe", "opt/app/bin/LOG/"},
      {"PROG.SXE", "opt/app/LOG/"},
      {"prog.sxe", "opt/app/LOG/"},
      {"prog.Spm", "opt/app/LOG/"},
      {"prog.sxe.bak", "opt/app/bin/LOG/"},
  };
  for (const auto& [name, expected] : cases) {
    std::string folder = GetLogFolderFor(Program(name, false));
    EXPECT_EQ(folder, Root(expected)) << name;
    EXPECT_TRUE(std::filesystem::is_directory(folder)) << name;
  }
}

TEST_F(LogFolderTest, ReadOnlyProgramLogsUnderTheInstallPathOrTheSystemLogFolder) {
  EXPECT_EQ(GetLogFolderFor(Program("DataCollector", true)), Root("var/log/datacollector/"));
  EXPECT_EQ(ModeOf(Root("var/log/datacollector")), 0750u);
  EXPECT_EQ(GetLogFolderFor(Root("opt/app/bin/not-there")), Root("var/log/datacollector/"));
  EXPECT_EQ(GetLogFolderFor(Program("PROG.SXE", true)), Root("var/log/datacollector/"));

  ASSERT_TRUE(TOrvelRegistry::SetString(kLocalMachine, "\\Software\\Orvel\\Install", "PATH", Root("site/sub")));
  EXPECT_EQ(GetLogFolderFor(Program("DataCollector", true)), Root("site/sub/LOG/"));
  EXPECT_EQ(GetLogFolderFor(Program("PROG.SXE", true)), Root("site/LOG/"));
  EXPECT_TRUE(std::filesystem::is_directory(Root("site/LOG")));
}

TEST_F(LogFolderTest, FolderThatCannotBeCreatedFallsBackToTheSystemLogFolder) {
  { std::ofstream(Root("opt/app/bin/LOG")) << "a file in the way"; }
  EXPECT_EQ(GetLogFolderFor(Program("DataCollector", false)), Root("var/log/datacollector/"));
  // So does an unreadable registry, for a read-only program.
  registry_.Write("not a registry file");
  EXPECT_EQ(GetLogFolderFor(Program("Other", true)), Root("var/log/datacollector/"));
}

TEST_F(LogFolderTest, WithoutTheSystemLogFolderLogsGoToAPrivateFolderInsideTheTempFolder) {
  Folder(Root("var/log"));
  { std::ofstream(Root("var/log/datacollector")) << "a file in the way"; }
  const std::string privateFolder = Root("tmp/datacollector-" + std::to_string(::geteuid()));
  EXPECT_EQ(GetLogFolderFor(Program("DataCollector", true)), privateFolder + "/LOG/");
  EXPECT_EQ(ModeOf(privateFolder), 0700u);
  EXPECT_EQ(ModeOf(privateFolder + "/LOG"), 0750u);

  // What someone else put in the private folder's place is never used.
  const struct {
    const char* situation;
    std::function<void()> plant;
  } cases[] = {
      {"a link to another folder",
       [&] { std::filesystem::create_directory_symlink(Folder(Root("elsewhere")), privateFolder); }},
      {"a folder others may write to",
       [&] {
         Folder(privateFolder);
         ::chmod(privateFolder.c_str(), 0777);
       }},
      {"a folder others may read", [&] {
         Folder(privateFolder);
         ::chmod(privateFolder.c_str(), 0755);
       }},
      {"a file", [&] { std::ofstream(privateFolder) << "x"; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.situation);
    std::filesystem::remove_all(privateFolder);
    c.plant();
    EXPECT_EQ(GetLogFolderFor(Program("DataCollector", true)), "");
    EXPECT_FALSE(std::filesystem::exists(Root("elsewhere/LOG")));
  }
}

TEST_F(LogFolderTest, RunningProgramUsesItsOwnFile) {
  std::string executable = platform::ExecutablePath();
  std::string expected = executable.substr(0, executable.rfind('/') + 1) + "LOG/";
  if (platform::IsReadOnly(executable).value_or(true)) expected = Root("var/log/datacollector/");
  EXPECT_EQ(GetLogFolder(), expected);
}

TEST(SiteStatusTest, StoresUnderTheNameWithoutSpaces) {
  ScopedRegistry registry(
      HiveText().Key("Software\\Orvel\\SiteStatus").String("Quorix Connect DateTime", "old").String("Keep Me", "x"));
  EXPECT_TRUE(SetSiteStatus("Quorix Connect DateTime", "3/7/2024 2:05:09 PM"));
  const std::string key = "\\Software\\Orvel\\SiteStatus\\";
  EXPECT_EQ(TOrvelRegistry::GetString(kLocalMachine, key, "QuorixConnectDateTime", ""), "3/7/2024 2:05:09 PM");
  EXPECT_EQ(TOrvelRegistry::GetString(kLocalMachine, key, "Quorix Connect DateTime", "gone"), "gone");
  EXPECT_EQ(TOrvelRegistry::GetString(kLocalMachine, key, "Keep Me", ""), "x");

  ScopedRegistry empty;
  EXPECT_TRUE(SetSiteStatus("QuorixConnectDateTime", "now"));
  EXPECT_EQ(TOrvelRegistry::GetString(kLocalMachine, key, "QuorixConnectDateTime", ""), "now");
  EXPECT_NE(empty.Read().find("\"QuorixConnectDateTime\"=\"now\""), std::string::npos);
}

TEST(RunProcessTest, StartsWithoutWaitingAndReportsThePid) {
  TempDir dir;
  ScopedEnv sleep("DC_REPORT_SLEEP_MS", "2000");
  const std::string program = TestProgramPath("versioned_program");
  std::uint32_t pid = RunProcess("  \"" + program + "\" " + dir.file("report") + " /UNINSTALL /SILENT \r\n", 5);
  ASSERT_NE(pid, 0u);
  std::optional<ProgramReport> report = WaitForReport(dir.file("report"));
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->pid, static_cast<long>(pid));
  EXPECT_EQ(report->args, (std::vector<std::string>{"/UNINSTALL", "/SILENT"}));
  kill(static_cast<pid_t>(pid), SIGTERM);

  TProcessInformation info;
  info.dwProcessId = 99;
  const std::vector<std::string> environment = {"DC_REPORT_VALUE=from block"};
  ASSERT_TRUE(StartProcess(program + " " + dir.file("second"), 0, info, &environment));
  EXPECT_NE(info.dwProcessId, 0u);
  report = WaitForReport(dir.file("second"));
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->env, "from block");
  EXPECT_EQ(report->pid, static_cast<long>(info.dwProcessId));
}

TEST(RunProcessTest, FailureIsZeroAndShowWindowMustFit16Bits) {
  TempDir dir;
  EXPECT_EQ(RunProcess(dir.file("DCSetup.exe") + " /AUTOUPDATE", 5), 0u);
  EXPECT_EQ(RunProcess("", 5), 0u);
  TProcessInformation info;
  info.dwProcessId = 99;
  EXPECT_FALSE(StartProcess(dir.file("missing"), 0xFFFF, info));
  EXPECT_EQ(info.dwProcessId, 0u);
  EXPECT_THROW(StartProcess(dir.file("missing"), 0x10000, info), ERangeError);
  EXPECT_THROW(RunProcess(dir.file("missing"), 0x10000), ERangeError);
}

}  // namespace
