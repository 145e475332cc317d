#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/AsciiText.h"

// Version and site-install utilities: reading a file's version and comparing
// dotted versions, finding the site product's install folder and the log
// folder, recording a site-status value, starting another program.
//
// Folders are returned in the platform's form with a trailing separator ("/"
// on POSIX, where Windows uses "\"). Thread-safe; nothing here keeps state
// except the collector's own version, which is read once.

// The trim and the ASCII case fold of the whole program (platform/AsciiText.h).
using platform::SameTextAscii;
using platform::TrimText;

// The text `key` of the file's version block ("FileVersion", ...), for the
// first translation of its translation table, trimmed of blanks and control
// characters; "" when the file, the block, the table or the text is missing.
std::string GetVersionInfoString(const std::string& fileName, const std::string& key);

// Takes the next "."-separated component off the front of `s` (which keeps
// the rest, without the "."). Returns 0 for an empty component, its value
// when it is a decimal 32-bit integer, -1 otherwise.
int NextVersionPart(std::string& s);

// `s` with exactly `count` components (count > 0), or with three plus the
// fourth only when that is above 0 (count <= 0), each without leading zeros.
// A text that is empty or holds anything but digits and "." is returned as it
// is.
std::string FormatVersion(const std::string& s, int count);

// FormatVersion(count) of the file's "FileVersion" text; "" when it has none.
std::string GetFileVersion(const std::string& fileName, int count);

// Compares the first `count` components of two version texts: -1, 0 or 1.
// Stops at the first difference. Raises EVersionException "Version number has
// incorrect format (<v1>) or (<v2>)" when a compared component is malformed.
int CompareVersions(const std::string& v1, const std::string& v2, int count);

// Whether `version` is lower than `required` over four components; false
// when either of the first two components of either text is malformed.
bool IsVersionOlder(const std::string& version, const std::string& required);

// The running program's own version (four components, the fourth only when
// above 0), e.g. "2.5.8.10"; "" for a program without a version block.
std::string GetCollectorVersion();

// The running program's folder, with trailing separator.
std::string GetApplicationFolder();

// The system's temporary folder with trailing separator; the bare separator
// when the system cannot tell.
std::string GetTempFolder();

// The site product's install folder ("PATH" under "\Software\Orvel\Install"
// of the local-machine registry) with trailing separator; "" when not set.
// Raises ERegistryException when the registry cannot be read.
std::string GetSiteInstallPath();

// The folder for log files, created when missing (mode 0750): "LOG" beside the
// running program (for a ".sxe" or ".spm" program: "LOG" beside its folder);
// for a read-only program file, "LOG" in the site install folder. Where there
// is no site install folder or the folder cannot be created, the fallback is
// never the shared temporary folder itself: it is the system's log folder
// (platform::SystemLogFolder) where this process may write, else "LOG" in a
// private folder of this user inside the temporary folder
// (platform::PrivateTempFolder); "" when neither can be had. Never raises.
std::string GetLogFolder();
// The mode of the log folders created (the files in them are created 0640).
constexpr unsigned kLogFolderPermissions = 0750;
// The same for the program file `executablePath`.
std::string GetLogFolderFor(const std::string& executablePath);

// Writes `value` as text under "\Software\Orvel\SiteStatus\" (created when
// missing) with the spaces removed from `name`, deleting an older value
// stored under the spaced name. False when the key cannot be opened; an error
// of the write raises ERegistryException.
bool SetSiteStatus(const std::string& name, const std::string& value);

// What StartProcess tells about the process it started.
struct TProcessInformation {
  std::uint32_t dwProcessId = 0;
};

// Starts `commandLine` (trimmed of blanks and control characters at both
// ends; split the Windows way, see platform::SplitCommandLine) without a
// shell and without waiting. `showWindow` is a 16-bit show-window code
// (raises ERangeError when larger); `environment` ("NAME=value" entries)
// replaces the caller's when given. Returns whether the process started.
bool StartProcess(const std::string& commandLine, std::uint32_t showWindow,
                  TProcessInformation& processInfo,
                  const std::vector<std::string>* environment = nullptr);

// StartProcess with the caller's environment; the new process's id, or 0 when
// it could not be started. Never waits.
std::uint32_t RunProcess(const std::string& commandLine, std::uint32_t showWindow);
