#include "platform/Files.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

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

void CreateFolders(const std::string& path) {
  std::error_code error;
  std::filesystem::create_directories(path, error);
  if (error) throw std::system_error(error, "Cannot create folder " + path);
  if (!std::filesystem::is_directory(path, error))
    throw std::system_error(std::make_error_code(std::errc::not_a_directory), "Cannot create folder " + path);
}

bool FileExists(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && !S_ISDIR(status.st_mode);
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
