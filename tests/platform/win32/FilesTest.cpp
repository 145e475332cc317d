// Files and folders on Windows.
#include "platform/Files.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(Win32FilesTest, FoldersAndTheProgramAreNamedTheWindowsWay) {
  EXPECT_EQ(platform::PathSeparator(), '\\');
  const std::string temp = platform::TempFolder();
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(temp.back(), '\\');
  const std::string program = platform::ExecutablePath();
  EXPECT_EQ(program.substr(program.size() - 4), ".exe");
  EXPECT_TRUE(platform::FileExists(program));
  EXPECT_FALSE(platform::FileExists(temp));  // a folder is no file
}

TEST(Win32FilesTest, ReadOnlyAttributeIsSetClearedAndUnknownForMissingFiles) {
  TempDir dir;
  // Paths are UTF-8 at the interface.
  const std::string file = dir.path().string() + "\\Zoë.txt";
  platform::OpenAppendFile(file)->Append("x");
  EXPECT_EQ(platform::IsReadOnly(file), false);
  platform::SetReadOnly(file, true);
  EXPECT_EQ(platform::IsReadOnly(file), true);
  platform::SetReadOnly(file, false);
  EXPECT_EQ(platform::IsReadOnly(file), false);
  EXPECT_EQ(platform::IsReadOnly(dir.file("missing")), std::nullopt);
  EXPECT_THROW(platform::SetReadOnly(dir.file("missing"), true), std::system_error);
}

TEST(Win32FilesTest, AppendFileCreatesAppendsAndRefusesFolders) {
  TempDir dir;
  const std::string nested = dir.file("a\\b\\c");
  platform::CreateFolders(nested);
  platform::CreateFolders(nested);  // exists already: nothing to do
  const std::string log = nested + "\\day.log";
  {
    auto file = platform::OpenAppendFile(log);
    EXPECT_TRUE(file->Created());
    file->Append("one\r\n");
  }
  {
    auto file = platform::OpenAppendFile(log);
    EXPECT_FALSE(file->Created());
    file->Append("two\r\n");
  }
  EXPECT_EQ(ReadAll(log), "one\r\ntwo\r\n");
  EXPECT_THROW(platform::OpenAppendFile(nested), std::system_error);
  // A second name of the file is refused: it may lead somewhere else.
  ASSERT_TRUE(CreateHardLinkA((nested + "\\other.log").c_str(), log.c_str(), nullptr));
  EXPECT_THROW(platform::OpenAppendFile(log), std::system_error);
}

TEST(Win32FilesTest, PrivateFilesAreNewAndMappedFilesShowTheirBytes) {
  TempDir dir;
  std::set<std::string> names;
  for (int i = 0; i < 20; ++i) {
    const std::string path = platform::CreatePrivateFile(dir.path().string(), "dc");
    EXPECT_EQ(path.rfind(dir.path().string() + "\\dc", 0), 0u) << path;
    names.insert(path);
  }
  EXPECT_EQ(names.size(), 20u);
  const std::string data = dir.file("data.bin");
  std::ofstream(data, std::ios::binary) << std::string("\0\x01\xFFmapped", 9);
  auto mapped = platform::MapFile(data);
  ASSERT_EQ(mapped->Size(), 9u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(mapped->Data()), mapped->Size()), std::string("\0\x01\xFFmapped", 9));
  std::ofstream(dir.file("empty.bin"));
  EXPECT_EQ(platform::MapFile(dir.file("empty.bin"))->Size(), 0u);
  EXPECT_THROW(platform::MapFile(dir.file("missing")), std::system_error);
}

TEST(Win32FilesTest, LogFoldersAreCreatedWhereConfiguredAndRefusedWhenUnusable) {
  TempDir dir;
  {
    ScopedEnv folder("DC_SYSTEM_LOG_DIR", dir.file("logs").c_str());
    EXPECT_EQ(platform::SystemLogFolderPath(), dir.file("logs") + "\\");
    EXPECT_EQ(platform::SystemLogFolder(), dir.file("logs") + "\\");
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("logs")));
  }
  {
    ScopedEnv folder("DC_SYSTEM_LOG_DIR", "NUL\\no-system-log-folder");
    EXPECT_EQ(platform::SystemLogFolder(), "");
  }
  const std::string temp = platform::PrivateTempFolder();
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(temp.rfind(platform::TempFolder(), 0), 0u);
  EXPECT_TRUE(std::filesystem::is_directory(temp));
}

}  // namespace
