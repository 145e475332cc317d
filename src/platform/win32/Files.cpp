#include "platform/Files.h"

#include <cstdlib>
#include <filesystem>
#include <random>

#include "platform/win32/Win32Text.h"

namespace platform {
namespace {

using win32::Handle;
using win32::Narrow;
using win32::SystemError;
using win32::Widen;

std::string EnvironmentValue(const wchar_t* name) {
  std::wstring value(32768, L'\0');
  const DWORD length = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
  if (length == 0 || length >= value.size()) return {};
  return Narrow(value.data(), length);
}

// A folder that exists, is a real folder (no junction or link) and can take
// a new file.
bool IsUsableFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(Widen(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return false;
  try {
    const std::string probe = CreatePrivateFile(path, "probe");
    DeleteFileW(Widen(probe).c_str());
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

std::string UsableFolder(const std::string& path) {
  try {
    CreateFolders(path);
  } catch (const std::exception&) {
    return "";
  }
  return IsUsableFolder(path) ? WithPathSeparator(path) : "";
}

class Win32AppendFile : public AppendFile {
 public:
  Win32AppendFile(Handle file, bool created) : FFile(std::move(file)), FCreated(created) {}
  bool Created() const override { return FCreated; }
  void Append(const std::string& bytes) override {
    std::size_t done = 0;
    while (done < bytes.size()) {
      DWORD written = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
      if (!WriteFile(FFile.Get(), bytes.data() + done, chunk, &written, nullptr))
        throw SystemError(GetLastError(), "Cannot append to the file");
      done += written;
    }
  }

 private:
  Handle FFile;
  bool FCreated;
};

class Win32MappedFile : public MappedFile {
 public:
  Win32MappedFile(Handle mapping, const unsigned char* data, std::size_t size)
      : FMapping(std::move(mapping)), FData(data), FSize(size) {}
  ~Win32MappedFile() override {
    if (FData != nullptr) UnmapViewOfFile(FData);
  }
  const unsigned char* Data() const override { return FData; }
  std::size_t Size() const override { return FSize; }

 private:
  Handle FMapping;
  const unsigned char* FData;
  std::size_t FSize;
};

}  // namespace

char PathSeparator() { return '\\'; }

std::string TempFolder() {
  wchar_t buffer[MAX_PATH + 2] = {};
  const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  if (length == 0 || length > MAX_PATH + 1) return "";
  return WithPathSeparator(Narrow(buffer, length));
}

std::optional<bool> IsReadOnly(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(Widen(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return std::nullopt;
  return (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

void SetReadOnly(const std::string& path, bool readOnly) {
  const std::wstring wide = Widen(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) throw SystemError(GetLastError(), "Cannot read the attributes of " + path);
  const DWORD changed = readOnly ? (attributes | FILE_ATTRIBUTE_READONLY) : (attributes & ~FILE_ATTRIBUTE_READONLY);
  if (changed != attributes && !SetFileAttributesW(wide.c_str(), changed))
    throw SystemError(GetLastError(), "Cannot set the attributes of " + path);
}

void CreateFolders(const std::string& path, unsigned) {
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(Widen(path)), error);
  if (error) throw std::system_error(error, "Cannot create the folder " + path);
}

bool FileExists(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(Widen(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::string SystemLogFolderPath() {
  std::string configured = EnvironmentValue(L"DC_SYSTEM_LOG_DIR");
  if (!configured.empty()) return WithPathSeparator(configured);
  std::string programData = EnvironmentValue(L"ProgramData");
  if (programData.empty()) return "";
  return WithPathSeparator(programData) + "DataCollector\\Logs\\";
}

std::string SystemLogFolder() {
  const std::string path = SystemLogFolderPath();
  return path.empty() ? "" : UsableFolder(path);
}

std::string PrivateTempFolder() {
  // The temporary folder of a user is that user's own (the profile's, or the
  // system's for the local system account); the subfolder keeps the
  // program's files together.
  const std::string temp = TempFolder();
  if (temp.empty()) return "";
  return UsableFolder(temp + "datacollector\\");
}

std::unique_ptr<AppendFile> OpenAppendFile(const std::string& path) {
  Handle file(CreateFileW(Widen(path).c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.Valid()) throw SystemError(GetLastError(), "Cannot open " + path);
  const bool created = GetLastError() != ERROR_ALREADY_EXISTS;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file.Get(), &info)) throw SystemError(GetLastError(), "Cannot open " + path);
  // A link or a second name of a file elsewhere is refused: it may have been
  // put there to make the program write somewhere else.
  if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
      info.nNumberOfLinks != 1) {
    throw std::system_error(std::make_error_code(std::errc::permission_denied),
                            "Cannot open " + path + ": not a regular file of this user");
  }
  return std::make_unique<Win32AppendFile>(std::move(file), created);
}

std::string CreatePrivateFile(const std::string& folder, const std::string& prefix) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = prefix;
    for (int i = 0; i < 8; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
    const std::string path = WithPathSeparator(folder) + name;
    Handle file(CreateFileW(Widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.Valid()) return path;
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
      throw SystemError(error, "Cannot create a file in " + folder);
  }
  throw std::system_error(std::make_error_code(std::errc::file_exists), "Cannot create a file in " + folder);
}

std::unique_ptr<MappedFile> MapFile(const std::string& path) {
  Handle file(CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) throw SystemError(GetLastError(), "Cannot open " + path);
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.Get(), &size)) throw SystemError(GetLastError(), "Cannot read the size of " + path);
  // An empty file cannot be mapped; its view is empty.
  if (size.QuadPart == 0) return std::make_unique<Win32MappedFile>(Handle(), nullptr, 0);
  Handle mapping(CreateFileMappingW(file.Get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
  if (!mapping.Valid()) throw SystemError(GetLastError(), "Cannot map " + path);
  const void* view = MapViewOfFile(mapping.Get(), FILE_MAP_READ, 0, 0, 0);
  if (view == nullptr) throw SystemError(GetLastError(), "Cannot map " + path);
  return std::make_unique<Win32MappedFile>(std::move(mapping), static_cast<const unsigned char*>(view),
                                           static_cast<std::size_t>(size.QuadPart));
}

std::string ExecutablePath() {
  std::wstring buffer(MAX_PATH, L'\0');
  while (true) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) throw SystemError(GetLastError(), "Cannot read the program's file name");
    if (length < buffer.size()) return Narrow(buffer.data(), length);
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace platform
