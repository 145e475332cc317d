#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Files.h"
#include "platform/VersionInfo.h"
#include "support/ReportProgram.h"
#include "support/TempDir.h"

namespace {

using platform::EncodeVersionBlock;
using platform::ReadVersionBlock;
using platform::VersionBlock;

void WriteBytes(const std::string& path, const std::vector<std::vector<std::uint8_t>>& parts) {
  std::ofstream out(path, std::ios::binary);
  for (const auto& part : parts) out.write(reinterpret_cast<const char*>(part.data()), static_cast<std::streamsize>(part.size()));
}

std::vector<std::uint8_t> Junk(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>((i * 131 + 7) % 256);
  return bytes;
}

VersionBlock SampleBlock() {
  VersionBlock block;
  block.translations = {{0x0409, 0x04b0}, {0x0407, 0x04e4}};
  block.strings["\\StringFileInfo\\040904b0\\FileVersion"] = "2.5.8.10";
  block.strings["\\StringFileInfo\\040704e4\\FileVersion"] = "2.5.8.10 (de)";
  return block;
}

TEST(VersionInfoTest, BlockIsFoundAnywhereInAFile) {
  TempDir dir;
  const VersionBlock block = SampleBlock();
  WriteBytes(dir.file("prog"), {Junk(5000), EncodeVersionBlock(block), Junk(300)});
  std::optional<VersionBlock> read = ReadVersionBlock(dir.file("prog"));
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->translations, block.translations);
  EXPECT_EQ(read->strings, block.strings);
}

TEST(VersionInfoTest, DamagedMarkerHitsAreSkipped) {
  TempDir dir;
  std::vector<std::uint8_t> encoded = EncodeVersionBlock(SampleBlock());
  // The marker alone, followed by bytes that do not form a block.
  std::vector<std::uint8_t> markerOnly(encoded.begin(), encoded.begin() + 16);
  std::vector<std::uint8_t> bogus = {0xFF, 0xFF, 1, 2, 3};
  WriteBytes(dir.file("prog"), {markerOnly, bogus, Junk(64), encoded});
  ASSERT_TRUE(ReadVersionBlock(dir.file("prog")).has_value());

  // A block cut off before its end is no block.
  std::vector<std::uint8_t> truncated(encoded.begin(), encoded.end() - 5);
  WriteBytes(dir.file("cut"), {Junk(10), truncated});
  EXPECT_FALSE(ReadVersionBlock(dir.file("cut")).has_value());
}

TEST(VersionInfoTest, FilesWithoutABlockHaveNone) {
  TempDir dir;
  WriteBytes(dir.file("plain"), {Junk(10000)});
  EXPECT_FALSE(ReadVersionBlock(dir.file("plain")).has_value());
  WriteBytes(dir.file("empty"), {});
  EXPECT_FALSE(ReadVersionBlock(dir.file("empty")).has_value());
  EXPECT_FALSE(ReadVersionBlock(dir.file("missing")).has_value());
  EXPECT_FALSE(ReadVersionBlock(dir.path().string()).has_value());
  // This test program holds the scanner but no block of its own.
  EXPECT_FALSE(ReadVersionBlock(platform::ExecutablePath()).has_value());
}

TEST(VersionInfoTest, BuildEmbedsTheBlockInAnExecutable) {
  std::optional<VersionBlock> block = ReadVersionBlock(TestProgramPath("versioned_program"));
  ASSERT_TRUE(block.has_value());
  ASSERT_EQ(block->translations.size(), 1u);
  EXPECT_EQ(block->translations[0], (std::pair<std::uint16_t, std::uint16_t>{0x0409, 0x04b0}));
  EXPECT_EQ(block->strings.at("\\StringFileInfo\\040904b0\\FileVersion"), "19.2.0.113");
  EXPECT_EQ(block->strings.at("\\StringFileInfo\\040904b0\\ProductName"), "versioned_program");
  EXPECT_FALSE(ReadVersionBlock(TestProgramPath("unversioned_program")).has_value());
}

}  // namespace
