#include "platform/contract/ProcessesContract.h"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "platform/Files.h"
#include "support/ReportProgram.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace contract {

std::string ProcessesBackendName(const ::testing::TestParamInfo<ProcessesBackend>& info) {
  return info.param.name;
}

namespace {

using platform::ImageFileName;
using platform::SplitCommandLine;
using platform::StartDetachedProcess;
using Args = std::vector<std::string>;

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

TEST_P(ProcessesContract, SplitCommandLineSplitsTheWayWindowsProgramsDo) {
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

TEST_P(ProcessesContract, ImageFileNameIsThePartAfterTheLastSeparator) {
  const std::pair<std::string, std::string> cases[] = {
      {"/usr/bin/Omnid.exe", "Omnid.exe"},
      {R"(C:\Corvane\Omnid.exe)", "Omnid.exe"},
      {"C:Omnid.exe", "Omnid.exe"},
      {"Omnid.exe", "Omnid.exe"},
      {"/usr/bin/", ""},
  };
  for (const auto& [path, name] : cases) EXPECT_EQ(ImageFileName(path), name) << path;
}

TEST_P(ProcessesContract, ListIncludesThisProcessUnderItsFileName) {
  const platform::ProcessId self = GetParam().currentProcessId();
  std::vector<platform::ProcessEntry> processes = platform::ListProcesses();
  auto found = std::find_if(processes.begin(), processes.end(),
                            [&](const platform::ProcessEntry& p) { return p.pid == self; });
  ASSERT_NE(found, processes.end());
  EXPECT_EQ(found->imageName, ImageFileName(platform::ExecutablePath()));
}

class StartedProgram {
 public:
  std::optional<platform::ProcessId> pid;
  std::function<void(platform::ProcessId)> stop;
  ~StartedProgram() {
    if (pid) stop(*pid);
  }
};

TEST_P(ProcessesContract, StartDetachedProcessRunsTheProgramWithItsArgumentsWithoutWaiting) {
  TempDir dir;
  const std::string report = dir.file("report.txt");
  ScopedEnv value("DC_REPORT_VALUE", "inherited");
  ScopedEnv sleep("DC_REPORT_SLEEP_MS", "3000");
  StartedProgram started{{}, GetParam().stop};
  started.pid = StartDetachedProcess(
      Quoted(TestProgramPath("versioned_program")) + " " + Quoted(report) + " /AUTOUPDATE \"two words\" a\\\"b Zürich", 5,
      nullptr);
  ASSERT_TRUE(started.pid.has_value());
  std::optional<ProgramReport> result = WaitForReport(report);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->pid, static_cast<long>(*started.pid));
  EXPECT_EQ(result->args, (Args{"/AUTOUPDATE", "two words", "a\"b", "Zürich"}));
  EXPECT_EQ(result->env, "inherited");

  // While it sleeps it is in the process list under its file name.
  std::vector<platform::ProcessEntry> processes = platform::ListProcesses();
  EXPECT_TRUE(std::any_of(processes.begin(), processes.end(), [&](const platform::ProcessEntry& p) {
    return p.pid == *started.pid && p.imageName == ImageFileName(TestProgramPath("versioned_program"));
  }));
}

TEST_P(ProcessesContract, StartDetachedProcessWithAnEnvironmentReplacesTheCallers) {
  TempDir dir;
  const std::string report = dir.file("report.txt");
  ScopedEnv value("DC_REPORT_VALUE", "inherited");
  const std::vector<std::string> environments[] = {{"DC_REPORT_VALUE=given"}, {}};
  const char* expected[] = {"given", "<unset>"};
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(expected[i]);
    const std::string file = report + std::to_string(i);
    ASSERT_TRUE(StartDetachedProcess(Quoted(TestProgramPath("versioned_program")) + " " + Quoted(file), 0,
                                     &environments[i])
                    .has_value());
    std::optional<ProgramReport> result = WaitForReport(file);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->env, expected[i]);
  }
}

TEST_P(ProcessesContract, AProgramThatIsNotThereIsNotStarted) {
  TempDir dir;
  const std::string lines[] = {
      "",
      "   ",
      Quoted(dir.file("missing-program")) + " arg",
      "no-such-program-anywhere",
  };
  for (const std::string& line : lines) EXPECT_FALSE(StartDetachedProcess(line, 0, nullptr).has_value()) << line;
}

}  // namespace

}  // namespace contract
