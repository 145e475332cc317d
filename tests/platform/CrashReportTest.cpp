// The crash reporter's report file: what it appends to and what it refuses.

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/CrashReport.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(CrashReportTest, ReportGoesToAnOwnFileAndNeverThroughALinkOrAHardLink) {
  TempDir dir;
  const std::string target = dir.file("root-only.txt");
  auto reporter = platform::InstallCrashReporter();

  reporter->SetReportFile(dir.file("report.elf"));
  reporter->ReportException("first failure");
  EXPECT_NE(ReadAll(dir.file("report.elf")).find("first failure"), std::string::npos);
  EXPECT_EQ(fs::status(dir.file("report.elf")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

  const struct {
    const char* situation;
    int (*plant)(const char* target, const char* path);
  } cases[] = {
      {"symbolic link", ::symlink},
      {"hard link", ::link},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.situation);
    std::ofstream(target, std::ios::trunc) << "secret\n";
    const std::string planted = dir.file(std::string("planted-") + c.situation + ".elf");
    ASSERT_EQ(c.plant(target.c_str(), planted.c_str()), 0);
    reporter->SetReportFile(planted);
    reporter->ReportException("second failure");
    EXPECT_EQ(ReadAll(target), "secret\n");
  }
}

}  // namespace
