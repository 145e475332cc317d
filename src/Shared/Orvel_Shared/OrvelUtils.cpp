#include "Shared/Orvel_Shared/OrvelUtils.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "Shared/Orvel_Shared/OrvelClasses.h"
#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "platform/Files.h"
#include "platform/Processes.h"
#include "platform/VersionInfo.h"

namespace {

constexpr const char* kInstallKey = "\\Software\\Orvel\\Install";
constexpr const char* kSiteStatusKey = "\\Software\\Orvel\\SiteStatus\\";

std::string FolderOf(const std::string& path) {
  std::size_t last = path.rfind(platform::PathSeparator());
  return last == std::string::npos ? std::string() : path.substr(0, last + 1);
}

std::string Hex4(unsigned value) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text(4, '0');
  for (int i = 3; i >= 0; --i, value >>= 4) text[i] = kDigits[value & 0xF];
  return text;
}

}  // namespace

std::string GetVersionInfoString(const std::string& fileName, const std::string& key) {
  std::optional<platform::VersionBlock> block = platform::ReadVersionBlock(fileName);
  if (!block || block->translations.empty()) return "";
  const auto& [language, codePage] = block->translations.front();
  std::string subBlock = "\\StringFileInfo\\" + Hex4(language) + Hex4(codePage) + "\\" + key;
  auto found = block->strings.find(subBlock);
  if (found == block->strings.end()) return "";
  return TrimText(found->second);
}

int NextVersionPart(std::string& s) {
  std::string part;
  std::size_t dot = s.find('.');
  if (dot == std::string::npos) {
    part = s;
    s.clear();
  } else {
    part = s.substr(0, dot);
    s.erase(0, dot + 1);
  }
  if (part.empty()) return 0;
  // The component must be a whole decimal integer that fits 32 bits.
  std::size_t start = (part[0] == '+' || part[0] == '-') ? 1 : 0;
  if (start == part.size()) return -1;
  for (std::size_t i = start; i < part.size(); ++i)
    if (part[i] < '0' || part[i] > '9') return -1;
  errno = 0;
  long long value = std::strtoll(part.c_str(), nullptr, 10);
  if (errno == ERANGE || value > INT_MAX || value < INT_MIN) return -1;
  return static_cast<int>(value);
}

std::string FormatVersion(const std::string& s, int count) {
  if (s.empty() || s.find_first_not_of("0123456789.") != std::string::npos) return s;
  std::string rest = s;
  std::string result;
  if (count > 0) {
    for (int i = 0; i < count; ++i) {
      if (i > 0) result += '.';
      result += std::to_string(NextVersionPart(rest));
    }
    return result;
  }
  for (int i = 0; i < 3; ++i) {
    if (i > 0) result += '.';
    result += std::to_string(NextVersionPart(rest));
  }
  int fourth = NextVersionPart(rest);
  if (fourth > 0) result += "." + std::to_string(fourth);
  return result;
}

std::string GetFileVersion(const std::string& fileName, int count) {
  return FormatVersion(GetVersionInfoString(fileName, "FileVersion"), count);
}

int CompareVersions(const std::string& v1, const std::string& v2, int count) {
  std::string rest1 = v1;
  std::string rest2 = v2;
  int result = 0;
  for (int i = 0; i < count && result == 0; ++i) {
    int a = NextVersionPart(rest1);
    int b = NextVersionPart(rest2);
    if (a < 0 || b < 0)
      throw EVersionException("Version number has incorrect format (" + v1 + ") or (" + v2 + ")");
    if (a > b) result = 1;
    if (a < b) result = -1;
  }
  return result;
}

bool IsVersionOlder(const std::string& version, const std::string& required) {
  int have[4];
  int need[4];
  std::string rest1 = version;
  std::string rest2 = required;
  for (int i = 0; i < 4; ++i) {
    have[i] = NextVersionPart(rest1);
    need[i] = NextVersionPart(rest2);
  }
  if (have[0] < 0 || have[1] < 0 || need[0] < 0 || need[1] < 0) return false;
  for (int i = 0; i < 4; ++i)
    if (have[i] != need[i]) return have[i] < need[i];
  return false;
}

std::string GetCollectorVersion() {
  // The running image cannot change while it runs, so reading it once is
  // enough; the result is computed on first use and never changed after.
  static const std::string kVersion = [] {
    try {
      return GetFileVersion(platform::ExecutablePath(), 0);
    } catch (const std::system_error&) {
      return std::string();
    }
  }();
  return kVersion;
}

std::string GetApplicationFolder() { return FolderOf(platform::ExecutablePath()); }

std::string GetTempFolder() {
  std::string folder = platform::TempFolder();
  if (folder.empty()) return std::string(1, platform::PathSeparator());
  return platform::WithPathSeparator(folder);
}

std::string GetSiteInstallPath() {
  TOrvelRegistry reg(kLocalMachine, kKeyRead);
  std::string path;
  if (reg.OpenKeyReadOnly(kInstallKey)) path = reg.ReadString("PATH", "");
  if (!path.empty()) path = platform::WithPathSeparator(path);
  return path;
}

namespace {

// The log folder when neither the program's folder nor the site's is usable.
// Never the shared temporary folder itself: there another user could plant a
// link where the log is about to be written.
std::string FallbackLogFolder() {
  std::string folder = platform::SystemLogFolder();
  if (!folder.empty()) return folder;
  folder = platform::PrivateTempFolder();
  if (folder.empty()) return "";
  const std::string logs = folder + "LOG" + platform::PathSeparator();
  try {
    platform::CreateFolders(logs, kLogFolderPermissions);
  } catch (const std::exception&) {
    return folder;
  }
  return logs;
}

}  // namespace

std::string GetLogFolderFor(const std::string& executablePath) {
  std::string folder;
  std::optional<bool> readOnly = platform::IsReadOnly(executablePath);
  if (!readOnly || *readOnly) {
    try {
      folder = GetSiteInstallPath();
    } catch (const ERegistryException&) {
      // An unreadable registry must not keep the log from being written.
      folder.clear();
    }
    if (folder.empty()) return FallbackLogFolder();
  } else {
    folder = FolderOf(executablePath);
  }
  std::string extension = platform::LowerAscii(std::filesystem::path(executablePath).extension().string());
  if (extension == ".sxe" || extension == ".spm") folder += std::string("..") + platform::PathSeparator();
  folder += std::string("LOG") + platform::PathSeparator();
  // "..": the folder's parent as named, the way Windows resolves it, not the
  // parent of wherever a symbolic link leads.
  folder = std::filesystem::path(folder).lexically_normal().string();
  try {
    platform::CreateFolders(folder, kLogFolderPermissions);
  } catch (const std::exception&) {
    return FallbackLogFolder();
  }
  return platform::WithPathSeparator(folder);
}

std::string GetLogFolder() {
  std::string executable;
  try {
    executable = platform::ExecutablePath();
  } catch (const std::system_error&) {
    return FallbackLogFolder();
  }
  return GetLogFolderFor(executable);
}

bool SetSiteStatus(const std::string& name, const std::string& value) {
  TOrvelRegistry reg(kLocalMachine, kKeyReadWrite);
  if (!reg.OpenKey(kSiteStatusKey, true)) return false;
  std::string spaceless;
  for (char c : name)
    if (c != ' ') spaceless += c;
  if (spaceless != name && reg.ValueExists(name)) reg.DeleteValue(name);
  reg.WriteString(spaceless, value);
  return true;
}

bool StartProcess(const std::string& commandLine, std::uint32_t showWindow, TProcessInformation& processInfo,
                  const std::vector<std::string>* environment) {
  processInfo = TProcessInformation{};
  if (showWindow > 0xFFFF) throw ERangeError();
  std::optional<platform::ProcessId> pid;
  try {
    pid = platform::StartDetachedProcess(TrimText(commandLine), static_cast<std::uint16_t>(showWindow), environment);
  } catch (const std::system_error&) {
    return false;
  }
  if (!pid) return false;
  processInfo.dwProcessId = *pid;
  return true;
}

std::uint32_t RunProcess(const std::string& commandLine, std::uint32_t showWindow) {
  TProcessInformation info;
  if (!StartProcess(commandLine, showWindow, info)) return 0;
  return info.dwProcessId;
}
