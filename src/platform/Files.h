#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

// Files and folders of the local machine. Paths are in the platform's own form
// (on POSIX "/" separates folders). Thread-safe. Failures raise
// std::system_error carrying the system's message, unless stated otherwise.

namespace platform {

// The character that separates folders in a path.
char PathSeparator();

// `folder` ending in a separator: PathSeparator() is added unless it already
// ends in one ("/" counts on every system). "" stays "". Never raises.
std::string WithPathSeparator(std::string folder);

// The system's temporary folder, ending in the separator; "" when the
// platform cannot tell. Never raises.
std::string TempFolder();

// Whether the file is read-only (on POSIX: no write permission bit for
// anyone); nothing when its attributes cannot be read. Never raises.
std::optional<bool> IsReadOnly(const std::string& path);
// Sets or clears the read-only attribute (on POSIX: removes every write bit,
// or adds the owner's).
void SetReadOnly(const std::string& path, bool readOnly);

// Creates the folder and any missing parents; does nothing when it exists.
// permissions are the POSIX mode bits of the folders it creates (the process's
// umask removes more); platforms without them ignore it.
void CreateFolders(const std::string& path, unsigned permissions = 0777);

// The folder the system keeps for this program's logs, ending in the
// separator: on POSIX "/var/log/datacollector/", on Windows
// "%ProgramData%\DataCollector\Logs\" (or the folder the environment
// variable DC_SYSTEM_LOG_DIR names), created with mode 0750 when missing. ""
// when it cannot be created or written by this process, or is not a real
// folder (no symbolic link) owned by this process's user. Never raises.
std::string SystemLogFolder();
// Where SystemLogFolder lies, without creating or checking it.
std::string SystemLogFolderPath();

// A folder of this process's user inside the system's temporary folder, which
// every user may write to, ending in the separator: on POSIX
// "<temp>/datacollector-<user id>/", created with mode 0700 and used only while
// it is a real folder owned by that user that no one else can write to. ""
// when no such folder can be had. Never raises.
std::string PrivateTempFolder();

// A file opened for appending that refuses what another user could have put
// in its place: a symbolic link, a hard link to a file elsewhere, a file of
// another owner, anything but a regular file. A missing file is created with
// mode 0640. Not thread-safe.
class AppendFile {
 public:
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;
  virtual ~AppendFile() = default;

  // Whether this open created the file.
  virtual bool Created() const = 0;
  // Appends bytes. Raises std::system_error.
  virtual void Append(const std::string& bytes) = 0;

 protected:
  AppendFile() = default;
};

// Opens path for appending as described above. Raises std::system_error with
// the reason (for a refused file: "not a regular file of this user").
std::unique_ptr<AppendFile> OpenAppendFile(const std::string& path);

bool FileExists(const std::string& path);

// Creates a new, empty file that only its owner can read and write, with a
// unique name made of prefix and a few random characters, in folder; returns
// its full path. Never reuses an existing file. Raises std::system_error.
std::string CreatePrivateFile(const std::string& folder, const std::string& prefix);

// A file's bytes, mapped read-only into memory (paged in from the file as they
// are read, not copied); the view stays valid for the object's life.
class MappedFile {
 public:
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  virtual ~MappedFile() = default;

  virtual const unsigned char* Data() const = 0;
  virtual std::size_t Size() const = 0;

 protected:
  MappedFile() = default;
};

// Maps the regular file at path. Raises std::system_error.
std::unique_ptr<MappedFile> MapFile(const std::string& path);

// The full path of the running program's executable file.
std::string ExecutablePath();

}  // namespace platform
