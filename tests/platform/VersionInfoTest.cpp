#include <fstream>
#include <iterator>
#include <optional>
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

std::vector<std::uint8_t> FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

VersionBlock BlockWithVersion(const std::string& version) {
  VersionBlock block;
  block.translations = {{0x0409, 0x04b0}};
  block.strings["\\StringFileInfo\\040904b0\\FileVersion"] = version;
  return block;
}

std::optional<std::string> FileVersionOf(const std::string& path) {
  std::optional<VersionBlock> block = ReadVersionBlock(path);
  if (!block) return std::nullopt;
  return block->strings.at("\\StringFileInfo\\040904b0\\FileVersion");
}

TEST(VersionInfoTest, InAProgramOnlyTheBuildsVersionSectionCounts) {
  TempDir dir;
  const std::vector<std::uint8_t> versioned = FileBytes(TestProgramPath("versioned_program"));
  const std::vector<std::uint8_t> unversioned = FileBytes(TestProgramPath("unversioned_program"));
  const std::vector<std::uint8_t> forged = EncodeVersionBlock(BlockWithVersion("9.9.9.9"));
  std::vector<std::uint8_t> cut(versioned.begin(), versioned.begin() + static_cast<std::ptrdiff_t>(versioned.size() / 2));
  std::vector<std::uint8_t> badSections = versioned;
  for (int i = 0; i < 8; ++i) badSections[0x28 + i] = 0xFF;  // e_shoff of a 64-bit header
  const std::string script = "#!/bin/sh\n# ";
  const struct {
    const char* situation;
    std::vector<std::vector<std::uint8_t>> parts;
    std::optional<std::string> version;
  } cases[] = {
      {"versioned program", {versioned}, "19.2.0.113"},
      {"versioned program with a forged block appended", {versioned, forged}, "19.2.0.113"},
      {"program with a block appended but no version section", {unversioned, forged}, std::nullopt},
      {"program cut in half", {cut}, std::nullopt},
      {"program whose section table lies outside the file", {badSections}, std::nullopt},
      {"script carrying a block (a data file: scanned)", {{script.begin(), script.end()}, forged}, "9.9.9.9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.situation);
    WriteBytes(dir.file("prog"), c.parts);
    EXPECT_EQ(FileVersionOf(dir.file("prog")), c.version);
  }
}

TEST(VersionInfoTest, OnlyProgramsOfThisMachineAreNativePrograms) {
  TempDir dir;
  const std::vector<std::uint8_t> program = FileBytes(TestProgramPath("versioned_program"));
  ASSERT_GT(program.size(), 64u);
  std::vector<std::uint8_t> otherClass = program;
  otherClass[4] = otherClass[4] == 2 ? 1 : 2;  // EI_CLASS: 32 against 64 bits
  std::vector<std::uint8_t> otherMachine = program;
  otherMachine[18] ^= 0x01;  // e_machine
  std::vector<std::uint8_t> relocatable = program;
  relocatable[16] = 1;  // e_type ET_REL
  relocatable[17] = 0;
  const std::string script = "#!/bin/sh\necho updated\n";
  const struct {
    const char* situation;
    std::vector<std::uint8_t> bytes;
    bool native;
  } cases[] = {
      {"program of this machine", program, true},
      {"program of the other word size", otherClass, false},
      {"program of another architecture", otherMachine, false},
      {"object file", relocatable, false},
      {"shell script", {script.begin(), script.end()}, false},
      {"ELF magic only", {0x7F, 'E', 'L', 'F'}, false},
      {"empty file", {}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.situation);
    WriteBytes(dir.file("prog"), {c.bytes});
    EXPECT_EQ(platform::IsNativeProgram(dir.file("prog")), c.native);
  }
  EXPECT_FALSE(platform::IsNativeProgram(dir.file("missing")));
  EXPECT_FALSE(platform::IsNativeProgram(dir.path().string()));
  EXPECT_TRUE(platform::IsNativeProgram(platform::ExecutablePath()));
}

}  // namespace
