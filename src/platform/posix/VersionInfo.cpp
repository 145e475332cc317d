#include "platform/VersionInfo.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <fstream>

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/VersionBlockFormat.h"
#include "platform/posix/FileDescriptor.h"

namespace platform {
namespace {

constexpr char kVersionSection[] = ".dc_version";

bool ReadAt(int fd, std::uint64_t offset, void* buffer, std::size_t size) {
  auto* bytes = static_cast<char*>(buffer);
  while (size > 0) {
    const ssize_t count = ::pread(fd, bytes, size, static_cast<off_t>(offset));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    bytes += count;
    offset += static_cast<std::uint64_t>(count);
    size -= static_cast<std::size_t>(count);
  }
  return true;
}

// An open file and its size, when it is a regular file.
struct OpenedFile {
  FileDescriptor fd;
  std::uint64_t size = 0;
};

std::optional<OpenedFile> OpenRegular(const std::string& fileName) {
  OpenedFile file{FileDescriptor(::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)), 0};
  struct stat status {};
  if (!file.fd.valid() || ::fstat(file.fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return std::nullopt;
  file.size = static_cast<std::uint64_t>(status.st_size);
  return file;
}

bool HasElfMagic(int fd) {
  unsigned char magic[SELFMAG];
  return ReadAt(fd, 0, magic, SELFMAG) && std::equal(magic, magic + SELFMAG, ELFMAG);
}

// The ELF header of the file, when it is one of this program's class.
std::optional<ElfW(Ehdr)> NativeClassHeader(int fd) {
  ElfW(Ehdr) header {};
  if (!ReadAt(fd, 0, &header, sizeof header)) return std::nullopt;
  if (!std::equal(header.e_ident, header.e_ident + SELFMAG, ELFMAG)) return std::nullopt;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  constexpr unsigned char kNativeData = ELFDATA2LSB;
#else
  constexpr unsigned char kNativeData = ELFDATA2MSB;
#endif
  if (header.e_ident[EI_CLASS] != (sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32) ||
      header.e_ident[EI_DATA] != kNativeData || header.e_ehsize != sizeof header)
    return std::nullopt;
  return header;
}

// The architecture of the running program.
std::optional<std::uint16_t> OwnMachine() {
  static const std::optional<std::uint16_t> machine = []() -> std::optional<std::uint16_t> {
    std::optional<OpenedFile> self = OpenRegular("/proc/self/exe");
    if (!self) return std::nullopt;
    std::optional<ElfW(Ehdr)> header = NativeClassHeader(self->fd.get());
    if (!header) return std::nullopt;
    return header->e_machine;
  }();
  return machine;
}

// The block at the start of the ELF file's version section; nothing when the
// section is missing, lies outside the file or does not start with a block.
std::optional<VersionBlock> SectionBlock(const OpenedFile& file) {
  std::optional<ElfW(Ehdr)> header = NativeClassHeader(file.fd.get());
  if (!header || header->e_shoff == 0 || header->e_shentsize != sizeof(ElfW(Shdr)) ||
      header->e_shstrndx == SHN_UNDEF || header->e_shstrndx >= header->e_shnum)
    return std::nullopt;
  const auto within = [&](std::uint64_t offset, std::uint64_t size) {
    return offset <= file.size && size <= file.size - offset;
  };
  if (!within(header->e_shoff, std::uint64_t{header->e_shnum} * sizeof(ElfW(Shdr)))) return std::nullopt;
  std::vector<ElfW(Shdr)> sections(header->e_shnum);
  if (!ReadAt(file.fd.get(), header->e_shoff, sections.data(), sections.size() * sizeof(ElfW(Shdr))))
    return std::nullopt;
  const ElfW(Shdr)& names = sections[header->e_shstrndx];
  if (names.sh_type != SHT_STRTAB || !within(names.sh_offset, names.sh_size) || names.sh_size > kMaxVersionBlockSize)
    return std::nullopt;
  std::string nameTable(names.sh_size, '\0');
  if (!ReadAt(file.fd.get(), names.sh_offset, nameTable.data(), nameTable.size())) return std::nullopt;
  for (const ElfW(Shdr)& section : sections) {
    if (section.sh_name >= nameTable.size() || nameTable.c_str() + section.sh_name != std::string(kVersionSection))
      continue;
    if (section.sh_type != SHT_PROGBITS || !within(section.sh_offset, section.sh_size)) return std::nullopt;
    std::string data(std::min<std::uint64_t>(section.sh_size, kMaxVersionBlockSize), '\0');
    if (!ReadAt(file.fd.get(), section.sh_offset, data.data(), data.size())) return std::nullopt;
    return VersionBlockAtStart(data);
  }
  return std::nullopt;
}

}  // namespace

bool IsNativeProgram(const std::string& fileName) {
  std::optional<OpenedFile> file = OpenRegular(fileName);
  if (!file) return false;
  std::optional<ElfW(Ehdr)> header = NativeClassHeader(file->fd.get());
  return header && (header->e_type == ET_EXEC || header->e_type == ET_DYN) && OwnMachine() &&
         header->e_machine == *OwnMachine();
}

std::optional<VersionBlock> ReadVersionBlock(const std::string& fileName) {
  {
    std::optional<OpenedFile> file = OpenRegular(fileName);
    if (!file) return std::nullopt;
    if (HasElfMagic(file->fd.get())) return SectionBlock(*file);
  }
  std::error_code error;
  if (!std::filesystem::is_regular_file(fileName, error)) return std::nullopt;
  std::string data;
  try {
    std::ifstream in(fileName, std::ios::binary | std::ios::ate);
    if (!in) return std::nullopt;
    std::streamoff size = in.tellg();
    if (size < 0) return std::nullopt;
    data.resize(static_cast<std::size_t>(size));
    in.seekg(0);
    in.read(data.data(), size);
    if (in.gcount() != size) return std::nullopt;
  } catch (const std::exception&) {
    return std::nullopt;
  }
  return FindVersionBlock(data);
}

}  // namespace platform
