#include "platform/posix/RegistryFile.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <filesystem>
#include <functional>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/EventLog.h"
#include "platform/posix/FileDescriptor.h"
#include "platform/RegFileFormat.h"

namespace platform {
namespace {

using regfile::HiveKey;


[[noreturn]] void Fail(const std::string& context, int error) {
  throw RegistryError(context + ": " + std::generic_category().message(error));
}

// Creates the missing folders of path, each readable by its owner only: the
// hive holds secrets. Existing folders are left as they are.
void CreatePrivateFolders(const std::filesystem::path& folder) {
  if (folder.empty() || std::filesystem::exists(folder)) return;
  CreatePrivateFolders(folder.parent_path());
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
    Fail("Cannot create the registry folder " + folder.string(), errno);
}

// Removes the group's and others' access from a hive file this process owns;
// a stricter mode is kept.
void TightenMode(int fd, const std::string& path, const RegistryNotice& notice) {
  struct stat status {};
  if (::fstat(fd, &status) != 0 || status.st_uid != ::geteuid() || (status.st_mode & 077) == 0) return;
  const mode_t tightened = status.st_mode & 07700;
  if (::fchmod(fd, tightened) != 0) return;
  char modes[64];
  std::snprintf(modes, sizeof modes, "%04o to %04o", static_cast<unsigned>(status.st_mode & 07777),
                static_cast<unsigned>(tightened));
  if (notice) notice("Registry file " + path + " was open to other users; its mode was changed from " + modes);
}

// Takes the lock, waiting at most `limit` for another holder to release it.
void Lock(int fd, bool exclusive, const std::string& path, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  auto pause = std::chrono::milliseconds(5);
  while (::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) Fail("Cannot lock registry file " + path, errno);
    if (std::chrono::steady_clock::now() >= deadline) {
      throw RegistryLockedError("Cannot lock registry file " + path + ": locked by another process (waited " +
                                std::to_string(limit.count()) + " ms)");
    }
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::milliseconds(100));
  }
}

// The hive file opened and locked. A writer renames a new file over the path
// while holding the lock on the old one, so after taking the lock we check
// that the path still names the file we locked, else start over.
// Without `create`, a missing file gives an invalid descriptor.
FileDescriptor OpenLocked(const std::string& path, bool exclusive, bool create, std::chrono::milliseconds limit,
                          const RegistryNotice& notice) {
  while (true) {
    // No link is followed to the hive: a link planted in its folder would
    // make the service read or replace a file of someone else's choosing.
    int flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0);
    FileDescriptor fd(::open(path.c_str(), flags, 0600));
    if (!fd.valid()) {
      if (!create && errno == ENOENT) return fd;
      if (create && errno == ENOENT) {
        CreatePrivateFolders(std::filesystem::path(path).parent_path());
        fd = FileDescriptor(::open(path.c_str(), flags, 0600));
      }
      if (!fd.valid()) Fail("Cannot open registry file " + path, errno);
    }
    Lock(fd.get(), exclusive, path, limit);
    struct stat opened {};
    struct stat named {};
    if (::fstat(fd.get(), &opened) != 0) Fail("Cannot read registry file " + path, errno);
    if (!S_ISREG(opened.st_mode)) throw RegistryError("Registry file " + path + " is not a regular file");
    if (::lstat(path.c_str(), &named) == 0 && named.st_dev == opened.st_dev && named.st_ino == opened.st_ino) {
      TightenMode(fd.get(), path, notice);
      return fd;
    }
  }
}

std::string ReadAll(int fd, const std::string& path) {
  std::string content;
  char buffer[65536];
  while (true) {
    ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count < 0) {
      if (errno == EINTR) continue;
      Fail("Cannot read registry file " + path, errno);
    }
    if (count == 0) return content;
    content.append(buffer, static_cast<std::size_t>(count));
  }
}

void WriteAll(int fd, const std::string& content, const std::string& path) {
  std::size_t done = 0;
  while (done < content.size()) {
    ssize_t count = ::write(fd, content.data() + done, content.size() - done);
    if (count < 0) {
      if (errno == EINTR) continue;
      Fail("Cannot write registry file " + path, errno);
    }
    done += static_cast<std::size_t>(count);
  }
}

std::unique_ptr<HiveKey> Load(int fd, const std::string& path) {
  std::string content = fd >= 0 ? ReadAll(fd, path) : std::string();
  return regfile::Parse(content, path);
}

// Replaces the file at `path` (locked through `locked`) with `content`.
void Store(const std::string& path, int locked, const std::string& content) {
  std::string pattern = path + ".XXXXXX";
  FileDescriptor temp(::mkostemp(pattern.data(), O_CLOEXEC));
  if (!temp.valid()) Fail("Cannot create a temporary file beside " + path, errno);
  try {
    struct stat original {};
    if (::fstat(locked, &original) == 0) ::fchmod(temp.get(), original.st_mode & 07700);
    WriteAll(temp.get(), content, pattern);
    if (::fsync(temp.get()) != 0) Fail("Cannot write registry file " + pattern, errno);
    if (::rename(pattern.c_str(), path.c_str()) != 0) Fail("Cannot replace registry file " + path, errno);
  } catch (...) {
    ::unlink(pattern.c_str());
    throw;
  }
}

// The file format has no way to write a line break inside a name.
void CheckName(const std::string& name, const std::string& path) {
  if (name.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
    throw RegistryError("Name \"" + name + "\" cannot be stored in " + path + ": it holds a line break or NUL");
}

HiveKey* Find(HiveKey& root, const std::string& key) {
  HiveKey* current = &root;
  for (const std::string& part : RegistryKeyPathParts(key)) {
    current = current->FindSubKey(part);
    if (current == nullptr) return nullptr;
  }
  return current;
}

struct Access {
  const std::string& path;
  std::chrono::milliseconds limit;
  const RegistryNotice& notice;
};

template <class Result>
Result Inspect(const Access& access, const std::function<Result(HiveKey&)>& look) {
  const std::string& path = access.path;
  FileDescriptor fd = OpenLocked(path, false, false, access.limit, access.notice);
  std::unique_ptr<HiveKey> root = Load(fd.get(), path);
  return look(*root);
}

// Runs `change` on the stored hive under the exclusive lock and stores the
// result when `change` reports that it changed something.
template <class Result>
Result Modify(const Access& access, const std::function<std::pair<Result, bool>(HiveKey&)>& change) {
  const std::string& path = access.path;
  FileDescriptor fd = OpenLocked(path, true, false, access.limit, access.notice);
  if (!fd.valid()) {
    // A change that leaves an empty hive empty must not create the file.
    std::unique_ptr<HiveKey> empty = Load(-1, path);
    auto [result, changed] = change(*empty);
    if (!changed) return result;
    fd = OpenLocked(path, true, true, access.limit, access.notice);
  }
  std::unique_ptr<HiveKey> root = Load(fd.get(), path);
  auto [result, changed] = change(*root);
  if (changed) Store(path, fd.get(), regfile::Format(*root));
  return result;
}

}  // namespace

RegistryFile::RegistryFile(std::string path, RegistryNotice notice, std::chrono::milliseconds lockLimit)
    : path_(std::move(path)), notice_(std::move(notice)), lockLimit_(lockLimit) {
  if (!notice_) {
    notice_ = [](const std::string& message) { OpenEventLog("DataCollectorSvc")->ReportError(message); };
  }
}

bool RegistryFile::KeyExists(const std::string& key) {
  return Inspect<bool>(Access{path_, lockLimit_, notice_}, [&](HiveKey& root) { return Find(root, key) != nullptr; });
}

void RegistryFile::CreateKey(const std::string& key) {
  Modify<bool>(Access{path_, lockLimit_, notice_}, [&](HiveKey& root) {
    bool changed = false;
    HiveKey* current = &root;
    for (const std::string& part : RegistryKeyPathParts(key)) {
      CheckName(part, path_);
      if (current->FindSubKey(part) == nullptr) changed = true;
      current = &current->AddSubKey(part);
    }
    return std::pair{true, changed};
  });
}

bool RegistryFile::DeleteKey(const std::string& key) {
  std::vector<std::string> parts = RegistryKeyPathParts(key);
  if (parts.empty()) throw RegistryError("The root key of " + path_ + " cannot be deleted");
  return Modify<bool>(Access{path_, lockLimit_, notice_}, [&](HiveKey& root) {
    HiveKey* parent = &root;
    for (std::size_t i = 0; parent != nullptr && i + 1 < parts.size(); ++i)
      parent = parent->FindSubKey(parts[i]);
    bool erased = parent != nullptr && parent->subkeys.erase(regfile::FoldCase(parts.back())) > 0;
    return std::pair{erased, erased};
  });
}

std::optional<RegistryValue> RegistryFile::ReadValue(const std::string& key, const std::string& name) {
  return Inspect<std::optional<RegistryValue>>(Access{path_, lockLimit_, notice_}, [&](HiveKey& root) -> std::optional<RegistryValue> {
    HiveKey* found = Find(root, key);
    if (found == nullptr) return std::nullopt;
    RegistryValue* value = found->FindValue(name);
    if (value == nullptr) return std::nullopt;
    return *value;
  });
}

void RegistryFile::WriteValue(const std::string& key, const std::string& name,
                              const RegistryValue& value) {
  CheckName(name, path_);
  Modify<bool>(Access{path_, lockLimit_, notice_}, [&](HiveKey& root) {
    HiveKey* found = Find(root, key);
    if (found == nullptr) throw RegistryError("Key \"" + key + "\" does not exist in " + path_);
    found->SetValue(name, value);
    return std::pair{true, true};
  });
}

bool RegistryFile::DeleteValue(const std::string& key, const std::string& name) {
  return Modify<bool>(Access{path_, lockLimit_, notice_}, [&](HiveKey& root) {
    HiveKey* found = Find(root, key);
    bool removed = found != nullptr && found->RemoveValue(name);
    return std::pair{removed, removed};
  });
}

std::vector<std::string> RegistryFile::SubKeyNames(const std::string& key) {
  return Inspect<std::vector<std::string>>(Access{path_, lockLimit_, notice_}, [&](HiveKey& root) {
    std::vector<std::string> names;
    if (HiveKey* found = Find(root, key))
      for (const auto& [folded, subkey] : found->subkeys) names.push_back(subkey->name);
    return names;
  });
}

std::vector<std::string> RegistryFile::ValueNames(const std::string& key) {
  return Inspect<std::vector<std::string>>(Access{path_, lockLimit_, notice_}, [&](HiveKey& root) {
    std::vector<std::string> names;
    if (HiveKey* found = Find(root, key))
      for (const auto& [name, value] : found->values) names.push_back(name);
    return names;
  });
}

std::string LocalMachineHiveFile() {
  const char* configured = std::getenv("DC_REGISTRY");
  return configured != nullptr && *configured != '\0' ? configured : kDefaultLocalMachineHiveFile;
}

std::optional<std::string> SystemRegistryText(const std::string&, const std::string&) { return std::nullopt; }

std::string RegistryHiveLocation(RegistryRoot root) {
  switch (root) {
    case RegistryRoot::LocalMachine:
      break;
  }
  return LocalMachineHiveFile();
}

std::unique_ptr<RegistryHive> OpenRegistryHive(RegistryRoot root) {
  return std::make_unique<RegistryFile>(RegistryHiveLocation(root));
}

}  // namespace platform
