// Version information on Windows: the program's VERSIONINFO resource, read
// with GetFileVersionInfo, and the marked block of other files.
#include "platform/VersionInfo.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/win32/Helper.h"
#include "support/TempDir.h"

namespace {

TEST(Win32VersionInfoTest, TheBuildsVersionResourceIsRead) {
  const auto block = platform::ReadVersionBlock(HelperProgram());
  ASSERT_TRUE(block.has_value());
  EXPECT_EQ(block->translations, (std::vector<std::pair<std::uint16_t, std::uint16_t>>{{0x0409, 0x04b0}}));
  EXPECT_EQ(block->strings.at("\\StringFileInfo\\040904b0\\FileVersion"), "19.2.0.113");
  EXPECT_EQ(block->strings.at("\\StringFileInfo\\040904b0\\ProductVersion"), "19.2.0.113");
  EXPECT_EQ(block->strings.at("\\StringFileInfo\\040904b0\\ProductName"), "win32_helper");
}

TEST(Win32VersionInfoTest, DataFilesCarryMarkedBlocksAndOnlyProgramsAreNative) {
  TempDir dir;
  platform::VersionBlock written;
  written.translations = {{0x0407, 0x04e4}};
  written.strings["\\StringFileInfo\\040704e4\\FileVersion"] = "1.2.3.4";
  const std::vector<std::uint8_t> bytes = platform::EncodeVersionBlock(written);
  {
    std::ofstream out(dir.file("data.bin"), std::ios::binary);
    out << "leading bytes";
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  const auto read = platform::ReadVersionBlock(dir.file("data.bin"));
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->translations, written.translations);
  EXPECT_EQ(read->strings, written.strings);

  std::ofstream(dir.file("plain.txt")) << "no block";
  EXPECT_EQ(platform::ReadVersionBlock(dir.file("plain.txt")), std::nullopt);
  EXPECT_EQ(platform::ReadVersionBlock(dir.file("missing.exe")), std::nullopt);
  EXPECT_EQ(platform::ReadVersionBlock(dir.path().string()), std::nullopt);

  EXPECT_TRUE(platform::IsNativeProgram(HelperProgram()));
  EXPECT_TRUE(platform::IsNativeProgram(platform::ExecutablePath()));
  EXPECT_FALSE(platform::IsNativeProgram(dir.file("data.bin")));
  std::ofstream(dir.file("fake.exe"), std::ios::binary) << "MZ" << std::string(100, '\0');
  EXPECT_FALSE(platform::IsNativeProgram(dir.file("fake.exe")));
  EXPECT_FALSE(platform::IsNativeProgram(dir.file("missing.exe")));
}

}  // namespace
