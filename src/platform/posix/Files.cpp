#include "platform/Files.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

char PathSeparator() { return '/'; }

std::string TempFolder() {
  std::error_code error;
  std::filesystem::path folder = std::filesystem::temp_directory_path(error);
  if (error) return "";
  std::string text = folder.string();
  if (text.empty()) return "";
  if (text.back() != '/') text += '/';
  return text;
}

std::optional<bool> IsReadOnly(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return std::nullopt;
  return (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

void SetReadOnly(const std::string& path, bool readOnly) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0)
    throw std::system_error(errno, std::generic_category(), "Cannot read the attributes of " + path);
  mode_t mode = status.st_mode & 07777;
  mode = readOnly ? (mode & ~static_cast<mode_t>(S_IWUSR | S_IWGRP | S_IWOTH)) : (mode | S_IWUSR);
  if (::chmod(path.c_str(), mode) != 0)
    throw std::system_error(errno, std::generic_category(), "Cannot change the attributes of " + path);
}

namespace {

// Creates the folder and its missing parents with mode; EEXIST is success.
int MakeFolders(const std::filesystem::path& folder, mode_t mode) {
  if (folder.empty()) return ENOENT;
  struct stat status {};
  if (::stat(folder.c_str(), &status) == 0) return S_ISDIR(status.st_mode) ? 0 : ENOTDIR;
  if (folder.has_parent_path() && folder.parent_path() != folder) {
    if (int error = MakeFolders(folder.parent_path(), mode); error != 0) return error;
  }
  if (::mkdir(folder.c_str(), mode) != 0 && errno != EEXIST) return errno;
  return 0;
}

// Whether path is a real folder (not a link) owned by this process's user
// that neither its group nor others may write to.
bool IsOwnFolder(const std::string& path) {
  struct stat status {};
  return ::lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == ::geteuid() &&
         (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::string WithSlash(std::string path) {
  if (!path.empty() && path.back() != '/') path += '/';
  return path;
}

class PosixAppendFile : public AppendFile {
 public:
  PosixAppendFile(int fd, bool created, std::string path) : FFd(fd), FCreated(created), FPath(std::move(path)) {}
  ~PosixAppendFile() override { ::close(FFd); }
  bool Created() const override { return FCreated; }
  void Append(const std::string& bytes) override {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t count = ::write(FFd, bytes.data() + done, bytes.size() - done);
      if (count < 0 && errno == EINTR) continue;
      if (count <= 0) throw std::system_error(count < 0 ? errno : EIO, std::generic_category(), "Cannot write " + FPath);
      done += static_cast<std::size_t>(count);
    }
  }

 private:
  int FFd;
  bool FCreated;
  std::string FPath;
};

}  // namespace

void CreateFolders(const std::string& path, unsigned permissions) {
  std::error_code error;
  if (int failure = MakeFolders(std::filesystem::path(path).lexically_normal(), static_cast<mode_t>(permissions));
      failure != 0)
    error = std::error_code(failure, std::generic_category());
  if (error) throw std::system_error(error, "Cannot create folder " + path);
  if (!std::filesystem::is_directory(path, error))
    throw std::system_error(std::make_error_code(std::errc::not_a_directory), "Cannot create folder " + path);
}

bool FileExists(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && !S_ISDIR(status.st_mode);
}

std::string SystemLogFolderPath() {
  const char* configured = std::getenv("DC_SYSTEM_LOG_DIR");
  std::string folder = configured != nullptr && *configured != '\0' ? configured : "/var/log/datacollector";
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

std::string SystemLogFolder() {
  const std::string folder = SystemLogFolderPath();
  if (MakeFolders(folder, 0750) != 0 || !IsOwnFolder(folder) || ::access(folder.c_str(), W_OK | X_OK) != 0)
    return "";
  return WithSlash(folder);
}

std::string PrivateTempFolder() {
  const std::string temp = TempFolder();
  if (temp.empty()) return "";
  const std::string folder = temp + "datacollector-" + std::to_string(::geteuid());
  // mkdir fails on anything already there, a link included; what is there is
  // then used only when it passes the owner check.
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return "";
  if (!IsOwnFolder(folder)) return "";
  struct stat status {};
  if (::lstat(folder.c_str(), &status) != 0 || (status.st_mode & 077) != 0) return "";
  return WithSlash(folder);
}

std::unique_ptr<AppendFile> OpenAppendFile(const std::string& path) {
  constexpr int kFlags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY;
  bool created = true;
  int fd = ::open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0640);
  if (fd < 0 && errno == EEXIST) {
    created = false;
    fd = ::open(path.c_str(), kFlags | O_NONBLOCK);
  }
  if (fd < 0) {
    // O_NOFOLLOW reports a link in the file's place as ELOOP.
    const int error = errno == ELOOP ? EPERM : errno;
    throw std::system_error(error, std::generic_category(),
                            "Cannot open " + path + (errno == ELOOP ? " (a symbolic link is not followed)" : ""));
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != ::geteuid() ||
      status.st_nlink != 1) {
    ::close(fd);
    throw std::system_error(EPERM, std::generic_category(),
                            "Cannot open " + path + ": not a regular file of this user");
  }
  return std::make_unique<PosixAppendFile>(fd, created, path);
}

std::string CreatePrivateFile(const std::string& folder, const std::string& prefix) {
  std::string path = folder;
  if (!path.empty() && path.back() != '/') path += '/';
  path += prefix + "XXXXXX";
  // mkostemp creates the file exclusively with mode 0600.
  const int fd = ::mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "Cannot create a file in " + folder);
  ::close(fd);
  return path;
}

namespace {

class PosixMappedFile : public MappedFile {
 public:
  PosixMappedFile(void* data, std::size_t size) : FData(data), FSize(size) {}
  ~PosixMappedFile() override {
    if (FSize > 0) ::munmap(FData, FSize);
  }
  const unsigned char* Data() const override { return static_cast<const unsigned char*>(FData); }
  std::size_t Size() const override { return FSize; }

 private:
  void* FData;
  std::size_t FSize;
};

}  // namespace

std::unique_ptr<MappedFile> MapFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "Cannot open " + path);
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    const int error = S_ISREG(status.st_mode) ? errno : EINVAL;
    ::close(fd);
    throw std::system_error(error, std::generic_category(), "Cannot read " + path);
  }
  const auto size = static_cast<std::size_t>(status.st_size);
  // An empty file cannot be mapped; its view is empty.
  void* data = size == 0 ? nullptr : ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  const int error = errno;
  ::close(fd);
  if (data == MAP_FAILED) throw std::system_error(error, std::generic_category(), "Cannot read " + path);
  return std::make_unique<PosixMappedFile>(data, size);
}

std::string ExecutablePath() {
  std::vector<char> buffer(256);
  while (true) {
    ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0)
      throw std::system_error(errno, std::generic_category(), "Cannot find the program's own file");
    if (static_cast<std::size_t>(length) < buffer.size())
      return std::string(buffer.data(), static_cast<std::size_t>(length));
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace platform
