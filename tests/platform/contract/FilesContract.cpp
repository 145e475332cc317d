#include "platform/contract/FilesContract.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <system_error>

#include "support/TempDir.h"

namespace contract {

std::string FilesBackendName(const ::testing::TestParamInfo<FilesBackend>& info) { return info.param.name; }

namespace {

// `dir`'s entry `name`, joined with the platform's separator.
std::string Entry(const TempDir& dir, const std::string& name) {
  return dir.path().string() + platform::PathSeparator() + name;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

TEST_P(FilesContract, TempFolderIsAnExistingFolderEndingInTheSeparator) {
  const std::string folder = platform::TempFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.back(), platform::PathSeparator());
  EXPECT_TRUE(std::filesystem::is_directory(folder));
}

TEST_P(FilesContract, CreateFoldersMakesParentsAndFailsOnAFileInTheWay) {
  TempDir dir;
  const std::string sep(1, platform::PathSeparator());
  const std::string deep = Entry(dir, "a" + sep + "b" + sep + "c");
  platform::CreateFolders(deep);
  EXPECT_TRUE(std::filesystem::is_directory(deep));
  platform::CreateFolders(deep);  // exists already
  WriteAll(Entry(dir, "file"), "x");
  EXPECT_THROW(platform::CreateFolders(Entry(dir, "file")), std::system_error);
  EXPECT_THROW(platform::CreateFolders(Entry(dir, "file" + sep + "sub")), std::system_error);
}

TEST_P(FilesContract, FileExistsOnlyForAFile) {
  TempDir dir;
  WriteAll(Entry(dir, "present.txt"), "x");
  WriteAll(Entry(dir, "empty.txt"), "");
  EXPECT_TRUE(platform::FileExists(Entry(dir, "present.txt")));
  EXPECT_TRUE(platform::FileExists(Entry(dir, "empty.txt")));
  EXPECT_FALSE(platform::FileExists(Entry(dir, "missing.txt")));
  EXPECT_FALSE(platform::FileExists(dir.path().string()));
  EXPECT_FALSE(platform::FileExists(""));
}

TEST_P(FilesContract, ExecutablePathIsThisRunningProgram) {
  const std::string path = platform::ExecutablePath();
  ASSERT_FALSE(path.empty());
  EXPECT_TRUE(std::filesystem::path(path).is_absolute()) << path;
  EXPECT_TRUE(platform::FileExists(path)) << path;
}

TEST_P(FilesContract, CreatePrivateFileMakesANewEmptyFileEveryTime) {
  TempDir dir;
  WriteAll(Entry(dir, "dc-keep"), "kept");
  std::set<std::string> made;
  for (int i = 0; i < 20; ++i) {
    const std::string path = platform::CreatePrivateFile(dir.path().string(), "dc-");
    SCOPED_TRACE(path);
    EXPECT_TRUE(made.insert(path).second) << "name used twice";
    EXPECT_EQ(std::filesystem::path(path).parent_path(), dir.path());
    EXPECT_EQ(std::filesystem::path(path).filename().string().rfind("dc-", 0), 0u);
    EXPECT_TRUE(platform::FileExists(path));
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
  }
  EXPECT_EQ(ReadAll(Entry(dir, "dc-keep")), "kept");
  EXPECT_THROW(platform::CreatePrivateFile(Entry(dir, "missing"), "dc-"), std::system_error);
}

TEST_P(FilesContract, AppendFileCreatesOnceAndThenAppends) {
  TempDir dir;
  const std::string path = Entry(dir, "day.LOG");
  {
    auto file = platform::OpenAppendFile(path);
    EXPECT_TRUE(file->Created());
    file->Append("first\r\n");
    file->Append(std::string("Caf\xE9 \0 end\r\n", 12));
  }
  {
    auto file = platform::OpenAppendFile(path);
    EXPECT_FALSE(file->Created());
    file->Append("second\r\n");
  }
  EXPECT_EQ(ReadAll(path), std::string("first\r\nCaf\xE9 \0 end\r\nsecond\r\n", 27));
  EXPECT_THROW(platform::OpenAppendFile(Entry(dir, "missing") + platform::PathSeparator() + "x.LOG"),
               std::system_error);
}

TEST_P(FilesContract, MappedFileShowsTheFilesBytes) {
  TempDir dir;
  std::string large(1 << 20, '\0');
  for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 131 % 251);
  const std::string cases[] = {"", "x", std::string("a\0b\r\n\xFF", 6), large};
  for (const std::string& bytes : cases) {
    SCOPED_TRACE(bytes.size());
    const std::string path = Entry(dir, "mapped.bin");
    WriteAll(path, bytes);
    auto mapped = platform::MapFile(path);
    ASSERT_EQ(mapped->Size(), bytes.size());
    if (!bytes.empty()) {
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(mapped->Data()), mapped->Size()), bytes);
    }
  }
  EXPECT_THROW(platform::MapFile(Entry(dir, "missing.bin")), std::system_error);
  EXPECT_THROW(platform::MapFile(dir.path().string()), std::system_error);
}

TEST_P(FilesContract, ReadOnlyCanBeSetClearedAndRead) {
  TempDir dir;
  const std::string file = Entry(dir, "program");
  WriteAll(file, "x");
  EXPECT_EQ(platform::IsReadOnly(file), std::optional<bool>(false));
  platform::SetReadOnly(file, true);
  EXPECT_EQ(platform::IsReadOnly(file), std::optional<bool>(true));
  EXPECT_EQ(ReadAll(file), "x");
  platform::SetReadOnly(file, false);
  EXPECT_EQ(platform::IsReadOnly(file), std::optional<bool>(false));
  WriteAll(file, "written");
  EXPECT_EQ(ReadAll(file), "written");
  EXPECT_FALSE(platform::IsReadOnly(Entry(dir, "missing")).has_value());
  EXPECT_THROW(platform::SetReadOnly(Entry(dir, "missing"), true), std::system_error);
}

}  // namespace

}  // namespace contract
