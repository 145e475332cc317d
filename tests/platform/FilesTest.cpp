#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/Files.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace {

TEST(FilesTest, TempFolderEndsInSeparatorAndFollowsTmpdir) {
  TempDir dir;
  {
    ScopedEnv tmp("TMPDIR", dir.path().c_str());
    EXPECT_EQ(platform::TempFolder(), dir.path().string() + "/");
  }
  {
    ScopedEnv tmp("TMPDIR", (dir.path().string() + "/").c_str());
    EXPECT_EQ(platform::TempFolder(), dir.path().string() + "/");
  }
  std::string folder = platform::TempFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.back(), '/');
}

TEST(FilesTest, ReadOnlyMeansNoWriteBitForAnyone) {
  TempDir dir;
  const std::string file = dir.file("program");
  { std::ofstream(file) << "x"; }
  const std::pair<mode_t, bool> cases[] = {
      {0444, true}, {0555, true}, {0400, true}, {0000, true},
      {0644, false}, {0200, false}, {0464, false}, {0446, false},
  };
  for (const auto& [mode, readOnly] : cases) {
    ASSERT_EQ(chmod(file.c_str(), mode), 0);
    EXPECT_EQ(platform::IsReadOnly(file), std::optional<bool>(readOnly)) << std::oct << mode;
  }
  EXPECT_FALSE(platform::IsReadOnly(dir.file("missing")).has_value());

  ASSERT_EQ(chmod(file.c_str(), 0664), 0);
  platform::SetReadOnly(file, true);
  EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::group_read | std::filesystem::perms::others_read);
  platform::SetReadOnly(file, false);
  EXPECT_EQ(platform::IsReadOnly(file), std::optional<bool>(false));
  EXPECT_THROW(platform::SetReadOnly(dir.file("missing"), true), std::system_error);
}

TEST(FilesTest, CreateFoldersMakesParentsAndFailsOnAFileInTheWay) {
  TempDir dir;
  const std::string deep = dir.file("a/b/c");
  platform::CreateFolders(deep);
  EXPECT_TRUE(std::filesystem::is_directory(deep));
  platform::CreateFolders(deep);  // exists already
  { std::ofstream(dir.file("file")) << "x"; }
  EXPECT_THROW(platform::CreateFolders(dir.file("file")), std::system_error);
  EXPECT_THROW(platform::CreateFolders(dir.file("file/sub")), std::system_error);
}

TEST(FilesTest, ExecutablePathIsThisTestProgram) {
  std::string path = platform::ExecutablePath();
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(path.front(), '/');
  EXPECT_TRUE(std::filesystem::equivalent(path, "/proc/self/exe"));
  EXPECT_TRUE(platform::FileExists(path));
  EXPECT_FALSE(platform::FileExists(path.substr(0, path.rfind('/'))));
}

}  // namespace
