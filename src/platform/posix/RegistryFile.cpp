#include "platform/posix/RegistryFile.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/FileDescriptor.h"
#include "platform/posix/RegFileFormat.h"

namespace platform {
namespace {

using regfile::HiveKey;

constexpr const char* kDefaultPath = "/etc/datacollector/registry.reg";

[[noreturn]] void Fail(const std::string& context, int error) {
  throw RegistryError(context + ": " + std::generic_category().message(error));
}

// The hive file opened and locked. A writer renames a new file over the path
// while holding the lock on the old one, so after taking the lock we check
// that the path still names the file we locked, else start over.
// Without `create`, a missing file gives an invalid descriptor.
FileDescriptor OpenLocked(const std::string& path, bool exclusive, bool create) {
  while (true) {
    int flags = O_RDONLY | O_CLOEXEC | (create ? O_CREAT : 0);
    FileDescriptor fd(::open(path.c_str(), flags, 0644));
    if (!fd.valid()) {
      if (!create && errno == ENOENT) return fd;
      if (create && errno == ENOENT) {
        std::error_code ignored;
        std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
        fd = FileDescriptor(::open(path.c_str(), flags, 0644));
      }
      if (!fd.valid()) Fail("Cannot open registry file " + path, errno);
    }
    int result;
    do {
      result = ::flock(fd.get(), exclusive ? LOCK_EX : LOCK_SH);
    } while (result != 0 && errno == EINTR);
    if (result != 0) Fail("Cannot lock registry file " + path, errno);
    struct stat opened {};
    struct stat named {};
    if (::fstat(fd.get(), &opened) != 0) Fail("Cannot read registry file " + path, errno);
    if (::stat(path.c_str(), &named) == 0 && named.st_dev == opened.st_dev &&
        named.st_ino == opened.st_ino)
      return fd;
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
    if (::fstat(locked, &original) == 0) ::fchmod(temp.get(), original.st_mode & 07777);
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
  for (const std::string& part : regfile::SplitKeyPath(key)) {
    current = current->FindSubKey(part);
    if (current == nullptr) return nullptr;
  }
  return current;
}

template <class Result>
Result Inspect(const std::string& path, const std::function<Result(HiveKey&)>& look) {
  FileDescriptor fd = OpenLocked(path, false, false);
  std::unique_ptr<HiveKey> root = Load(fd.get(), path);
  return look(*root);
}

// Runs `change` on the stored hive under the exclusive lock and stores the
// result when `change` reports that it changed something.
template <class Result>
Result Modify(const std::string& path, const std::function<std::pair<Result, bool>(HiveKey&)>& change) {
  FileDescriptor fd = OpenLocked(path, true, false);
  if (!fd.valid()) {
    // A change that leaves an empty hive empty must not create the file.
    std::unique_ptr<HiveKey> empty = Load(-1, path);
    auto [result, changed] = change(*empty);
    if (!changed) return result;
    fd = OpenLocked(path, true, true);
  }
  std::unique_ptr<HiveKey> root = Load(fd.get(), path);
  auto [result, changed] = change(*root);
  if (changed) Store(path, fd.get(), regfile::Format(*root));
  return result;
}

}  // namespace

RegistryFile::RegistryFile(std::string path) : path_(std::move(path)) {}

bool RegistryFile::KeyExists(const std::string& key) {
  return Inspect<bool>(path_, [&](HiveKey& root) { return Find(root, key) != nullptr; });
}

void RegistryFile::CreateKey(const std::string& key) {
  Modify<bool>(path_, [&](HiveKey& root) {
    bool changed = false;
    HiveKey* current = &root;
    for (const std::string& part : regfile::SplitKeyPath(key)) {
      CheckName(part, path_);
      if (current->FindSubKey(part) == nullptr) changed = true;
      current = &current->AddSubKey(part);
    }
    return std::pair{true, changed};
  });
}

bool RegistryFile::DeleteKey(const std::string& key) {
  std::vector<std::string> parts = regfile::SplitKeyPath(key);
  if (parts.empty()) throw RegistryError("The root key of " + path_ + " cannot be deleted");
  return Modify<bool>(path_, [&](HiveKey& root) {
    HiveKey* parent = &root;
    for (std::size_t i = 0; parent != nullptr && i + 1 < parts.size(); ++i)
      parent = parent->FindSubKey(parts[i]);
    bool erased = parent != nullptr && parent->subkeys.erase(regfile::FoldCase(parts.back())) > 0;
    return std::pair{erased, erased};
  });
}

std::optional<RegistryValue> RegistryFile::ReadValue(const std::string& key, const std::string& name) {
  return Inspect<std::optional<RegistryValue>>(path_, [&](HiveKey& root) -> std::optional<RegistryValue> {
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
  Modify<bool>(path_, [&](HiveKey& root) {
    HiveKey* found = Find(root, key);
    if (found == nullptr) throw RegistryError("Key \"" + key + "\" does not exist in " + path_);
    found->SetValue(name, value);
    return std::pair{true, true};
  });
}

bool RegistryFile::DeleteValue(const std::string& key, const std::string& name) {
  return Modify<bool>(path_, [&](HiveKey& root) {
    HiveKey* found = Find(root, key);
    bool removed = found != nullptr && found->RemoveValue(name);
    return std::pair{removed, removed};
  });
}

std::vector<std::string> RegistryFile::SubKeyNames(const std::string& key) {
  return Inspect<std::vector<std::string>>(path_, [&](HiveKey& root) {
    std::vector<std::string> names;
    if (HiveKey* found = Find(root, key))
      for (const auto& [folded, subkey] : found->subkeys) names.push_back(subkey->name);
    return names;
  });
}

std::vector<std::string> RegistryFile::ValueNames(const std::string& key) {
  return Inspect<std::vector<std::string>>(path_, [&](HiveKey& root) {
    std::vector<std::string> names;
    if (HiveKey* found = Find(root, key))
      for (const auto& [name, value] : found->values) names.push_back(name);
    return names;
  });
}

std::string RegistryHiveLocation(RegistryRoot root) {
  switch (root) {
    case RegistryRoot::LocalMachine:
      break;
  }
  const char* configured = std::getenv("DC_REGISTRY");
  return configured != nullptr && *configured != '\0' ? configured : kDefaultPath;
}

std::unique_ptr<RegistryHive> OpenRegistryHive(RegistryRoot root) {
  return std::make_unique<RegistryFile>(RegistryHiveLocation(root));
}

}  // namespace platform
