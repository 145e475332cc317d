#pragma once

#include <optional>
#include <string>

// Files and folders of the local machine. Paths are in the platform's own form
// (on POSIX "/" separates folders). Thread-safe. Failures raise
// std::system_error carrying the system's message, unless stated otherwise.

namespace platform {

// The character that separates folders in a path.
char PathSeparator();

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
void CreateFolders(const std::string& path);

bool FileExists(const std::string& path);

// The full path of the running program's executable file.
std::string ExecutablePath();

}  // namespace platform
