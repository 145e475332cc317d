#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include <functional>
#include <iterator>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Files.h"
#include "support/OtherUser.h"
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

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

unsigned ModeOf(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

TEST(FilesTest, AppendFileIsCreatedForItsOwnerAndGroupAndAppendsToAnOwnFile) {
  TempDir dir;
  const std::string path = dir.file("day.LOG");
  {
    auto file = platform::OpenAppendFile(path);
    EXPECT_TRUE(file->Created());
    file->Append("first\r\n");
  }
  EXPECT_EQ(ModeOf(path), 0640u);
  {
    auto file = platform::OpenAppendFile(path);
    EXPECT_FALSE(file->Created());
    file->Append("second\r\n");
  }
  EXPECT_EQ(ReadAll(path), "first\r\nsecond\r\n");
}

TEST(FilesTest, AppendFileRefusesWhatAnotherUserCouldHavePutInItsPlace) {
  TempDir dir;
  const std::string target = dir.file("root-only.txt");
  const struct {
    const char* situation;
    std::function<void(const std::string&)> plant;
    bool needsRoot;
  } cases[] = {
      {"link to a file", [&](const std::string& p) { ASSERT_EQ(::symlink(target.c_str(), p.c_str()), 0); }, false},
      {"link to a missing file",
       [&](const std::string& p) { ASSERT_EQ(::symlink(dir.file("missing").c_str(), p.c_str()), 0); }, false},
      {"hard link to a file", [&](const std::string& p) { ASSERT_EQ(::link(target.c_str(), p.c_str()), 0); }, false},
      {"named pipe", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0666), 0); }, false},
      {"folder", [](const std::string& p) { std::filesystem::create_directory(p); }, false},
      {"file of another user",
       [](const std::string& p) {
         std::ofstream(p) << "theirs\n";
         ASSERT_EQ(::chown(p.c_str(), 65534, 65534), 0);
       },
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.situation);
    if (c.needsRoot && ::geteuid() != 0) continue;
    std::ofstream(target, std::ios::trunc) << "secret\n";
    const std::string path = dir.file("planted.LOG");
    std::filesystem::remove_all(path);
    c.plant(path);
    EXPECT_THROW(platform::OpenAppendFile(path), std::system_error);
    EXPECT_EQ(ReadAll(target), "secret\n");
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
  }
}

TEST(FilesTest, PrivateTempFolderIsTheUsersOwnAndNeverWhatSomeoneElsePlanted) {
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  const std::string shared = dir.file("tmp");
  std::filesystem::create_directory(shared);
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  ScopedEnv tmp("TMPDIR", shared.c_str());
  const std::string mine = shared + "/datacollector-" + std::to_string(::geteuid());
  EXPECT_EQ(platform::PrivateTempFolder(), mine + "/");
  EXPECT_EQ(ModeOf(mine), 0700u);
  EXPECT_EQ(platform::PrivateTempFolder(), mine + "/");

  // User nobody plants a link to a folder of theirs first.
  std::filesystem::remove(mine);
  const auto planted = RunAsNobody([&] {
    const std::string theirs = shared + "/theirs";
    return ::mkdir(theirs.c_str(), 0777) == 0 && ::symlink(theirs.c_str(), mine.c_str()) == 0 ? 0 : 1;
  });
  if (!planted) GTEST_SKIP() << NobodyUnavailableReason();
  ASSERT_EQ(*planted, 0);
  EXPECT_EQ(platform::PrivateTempFolder(), "");
  std::filesystem::remove(mine);
  ASSERT_EQ(RunAsNobody([&] { return ::mkdir(mine.c_str(), 0700); }), 0);
  EXPECT_EQ(platform::PrivateTempFolder(), "") << "a folder of user nobody's";
}

TEST(FilesTest, SystemLogFolderIsCreatedForOwnerAndGroupAndMustBeARealFolder) {
  TempDir dir;
  const std::string folder = dir.file("var/log/datacollector");
  {
    ScopedEnv system("DC_SYSTEM_LOG_DIR", folder.c_str());
    EXPECT_EQ(platform::SystemLogFolder(), folder + "/");
    EXPECT_EQ(ModeOf(folder), 0750u);
  }
  std::filesystem::create_directory(dir.file("elsewhere"));
  std::filesystem::create_directory_symlink(dir.file("elsewhere"), dir.file("linked"));
  ScopedEnv system("DC_SYSTEM_LOG_DIR", dir.file("linked").c_str());
  EXPECT_EQ(platform::SystemLogFolder(), "");
}

TEST(FilesTest, AnotherUserCannotReadTheLogsAndTheirLinkIsRefused) {
  if (!NobodyUnavailableReason().empty()) GTEST_SKIP() << NobodyUnavailableReason();
  TempDir dir;
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  const std::string logs = dir.file("LOG");
  platform::CreateFolders(logs, 0750);
  platform::OpenAppendFile(logs + "/day.LOG")->Append("token line\r\n");
  EXPECT_EQ(RunAsNobody([&] { return ::access((logs + "/day.LOG").c_str(), R_OK) == 0 ? 0 : errno; }), EACCES);
  // Even in a folder they may write to, their link is not followed.
  ASSERT_EQ(::chmod(logs.c_str(), 01777), 0);
  std::ofstream(dir.file("root-only.txt")) << "secret\n";
  ASSERT_EQ(::chmod(dir.file("root-only.txt").c_str(), 0600), 0);
  ASSERT_EQ(RunAsNobody([&] { return ::symlink(dir.file("root-only.txt").c_str(), (logs + "/next.LOG").c_str()); }),
            0);
  EXPECT_THROW(platform::OpenAppendFile(logs + "/next.LOG"), std::system_error);
  EXPECT_EQ(ReadAll(dir.file("root-only.txt")), "secret\n");
}

}  // namespace
