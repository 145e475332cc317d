#include "platform/VersionInfo.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/VersionBlockFormat.h"
#include "platform/win32/Win32Text.h"

namespace platform {
namespace {

using win32::Handle;
using win32::Narrow;
using win32::Widen;

// The texts a version resource names by convention; a resource may hold
// others, but only these are asked for.
constexpr const wchar_t* kStandardNames[] = {
    L"FileVersion", L"ProductVersion", L"ProductName", L"FileDescription", L"CompanyName", L"InternalName",
    L"OriginalFilename", L"LegalCopyright", L"LegalTrademarks", L"Comments", L"PrivateBuild", L"SpecialBuild"};

std::optional<VersionBlock> ResourceBlock(const std::wstring& fileName) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(fileName.c_str(), &ignored);
  if (size == 0) return std::nullopt;
  std::vector<unsigned char> data(size);
  if (!GetFileVersionInfoW(fileName.c_str(), 0, size, data.data())) return std::nullopt;
  VersionBlock block;
  void* pointer = nullptr;
  UINT length = 0;
  if (VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", &pointer, &length)) {
    const auto* pairs = static_cast<const WORD*>(pointer);
    for (UINT i = 0; i + 1 < length / sizeof(WORD); i += 2) block.translations.emplace_back(pairs[i], pairs[i + 1]);
  }
  for (const auto& [language, codePage] : block.translations) {
    wchar_t table[16];
    swprintf(table, 16, L"%04x%04x", language, codePage);
    for (const wchar_t* name : kStandardNames) {
      const std::wstring path = std::wstring(L"\\StringFileInfo\\") + table + L"\\" + name;
      if (!VerQueryValueW(data.data(), path.c_str(), &pointer, &length) || length == 0) continue;
      std::wstring text(static_cast<const wchar_t*>(pointer), length);
      while (!text.empty() && text.back() == L'\0') text.pop_back();
      block.strings[Narrow(path)] = Narrow(text);
    }
  }
  return block;
}

// The first bytes of a file.
std::string ReadHead(const std::wstring& fileName, std::size_t size) {
  Handle file(CreateFileW(fileName.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) return {};
  std::string data(size, '\0');
  DWORD read = 0;
  if (!ReadFile(file.Get(), data.data(), static_cast<DWORD>(size), &read, nullptr)) return {};
  data.resize(read);
  return data;
}

std::uint32_t Little32(const std::string& data, std::size_t at) {
  return static_cast<unsigned char>(data[at]) | (static_cast<unsigned char>(data[at + 1]) << 8) |
         (static_cast<unsigned char>(data[at + 2]) << 16) | (static_cast<std::uint32_t>(static_cast<unsigned char>(data[at + 3])) << 24);
}

bool IsRegularFile(const std::wstring& fileName) {
  const DWORD attributes = GetFileAttributesW(fileName.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace

bool IsNativeProgram(const std::string& fileName) {
  const std::wstring wide = Widen(fileName);
  if (!IsRegularFile(wide)) return false;
  const std::string head = ReadHead(wide, 4096);
  if (head.size() < 0x40 || head[0] != 'M' || head[1] != 'Z') return false;
  const std::size_t pe = Little32(head, 0x3C);
  if (pe + 24 > head.size() || head.compare(pe, 4, std::string("PE\0\0", 4)) != 0) return false;
  const unsigned machine = static_cast<unsigned char>(head[pe + 4]) | (static_cast<unsigned char>(head[pe + 5]) << 8);
  const unsigned characteristics =
      static_cast<unsigned char>(head[pe + 22]) | (static_cast<unsigned char>(head[pe + 23]) << 8);
  // A 64-bit system runs its own programs and 32-bit x86 ones.
  const bool runnable = machine == IMAGE_FILE_MACHINE_AMD64 || machine == IMAGE_FILE_MACHINE_I386;
  return runnable && (characteristics & IMAGE_FILE_EXECUTABLE_IMAGE) != 0;
}

std::optional<VersionBlock> ReadVersionBlock(const std::string& fileName) {
  const std::wstring wide = Widen(fileName);
  if (!IsRegularFile(wide)) return std::nullopt;
  if (std::optional<VersionBlock> block = ResourceBlock(wide)) return block;
  // Any other file may carry a marked block.
  std::string data;
  try {
    std::ifstream in(std::filesystem::path(wide), std::ios::binary);
    if (!in) return std::nullopt;
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } catch (const std::exception&) {
    return std::nullopt;
  }
  return FindVersionBlock(data);
}

}  // namespace platform
