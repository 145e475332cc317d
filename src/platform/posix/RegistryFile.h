#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "platform/Registry.h"

namespace platform {

// A hive kept in one text file in the registry-export format, so that an
// administrator can read and edit it, or import it on Windows. Every operation
// reads the file afresh under a shared lock; every change is made under an
// exclusive lock and stored by writing a temporary file beside it and renaming
// it over the old one, so readers never see a torn file and concurrent writers
// (threads or processes) never lose each other's changes. A missing or empty
// file is an empty hive; a malformed one raises RegistryError naming the file
// and line. Writing creates the file's folder when missing.
//
// The hive holds secrets, so it is private: the file is created with mode
// 0600 and missing folders with 0700; an existing file this process owns that
// others can read is tightened to its owner's part, with a notice. A symbolic
// link in the file's place is refused. A lock held by another process for
// longer than lockLimit raises RegistryLockedError; nothing waits for ever.
using RegistryNotice = std::function<void(const std::string& message)>;
constexpr std::chrono::milliseconds kRegistryLockLimit{10000};

// The file of the local-machine hive: the environment variable DC_REGISTRY,
// else kDefaultLocalMachineHiveFile.
constexpr const char kDefaultLocalMachineHiveFile[] = "/etc/datacollector/registry.reg";
std::string LocalMachineHiveFile();

class RegistryFile : public RegistryHive {
 public:
  // notice receives the notices (null: the system's event log).
  explicit RegistryFile(std::string path, RegistryNotice notice = nullptr,
                        std::chrono::milliseconds lockLimit = kRegistryLockLimit);

  const std::string& Path() const { return path_; }

  bool KeyExists(const std::string& key) override;
  void CreateKey(const std::string& key) override;
  bool DeleteKey(const std::string& key) override;
  std::optional<RegistryValue> ReadValue(const std::string& key, const std::string& name) override;
  void WriteValue(const std::string& key, const std::string& name,
                  const RegistryValue& value) override;
  bool DeleteValue(const std::string& key, const std::string& name) override;
  std::vector<std::string> SubKeyNames(const std::string& key) override;
  std::vector<std::string> ValueNames(const std::string& key) override;

 private:
  std::string path_;
  RegistryNotice notice_;
  std::chrono::milliseconds lockLimit_;
};

}  // namespace platform
