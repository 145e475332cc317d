#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// File version information. An executable carries a version block: a
// translation table (pairs of 16-bit language and code-page numbers) and a
// table of texts named by sub-block paths such as
// "\StringFileInfo\040904b0\FileVersion". On POSIX the build embeds the block
// in the program as bytes in the ELF section ".dc_version"
// (cmake/VersionBlock.cmake). In an ELF file only that section is read, so a
// marker placed anywhere else does not count; a file of another format is
// scanned for a block, so any data file can carry one.

namespace platform {

struct VersionBlock {
  std::vector<std::pair<std::uint16_t, std::uint16_t>> translations;  // language, code page
  std::map<std::string, std::string> strings;  // sub-block path -> text
};

// The version block of a file; nothing when the file does not exist, cannot
// be read or carries no block. Never raises.
std::optional<VersionBlock> ReadVersionBlock(const std::string& fileName);

// Whether the file is a program in this platform's native format that this
// machine can run (on POSIX: an ELF executable or shared object of this
// program's class, byte order and architecture); a script is not. Never raises.
bool IsNativeProgram(const std::string& fileName);

// The bytes of a version block as the build embeds it. The texts may not
// contain NUL characters.
std::vector<std::uint8_t> EncodeVersionBlock(const VersionBlock& block);

}  // namespace platform
