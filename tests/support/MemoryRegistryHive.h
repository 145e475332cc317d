#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Registry.h"

// A registry hive kept in memory, for tests that need a hive but not its file.
// It keeps the contract of platform::RegistryHive as the file hive does: paths
// split at "\" (empty parts ignored, "" the root), names compared without
// regard to ASCII case and kept as first written, subkeys listed sorted
// without regard to case, values in the order first written, the root never
// deleted, a value written only into an existing key. Thread-safe.
class MemoryRegistryHive : public platform::RegistryHive {
 public:
  // A new, empty hive.
  MemoryRegistryHive();
  ~MemoryRegistryHive() override;

  // Another handle on this same hive, as a second open of the same store
  // gives: a change through one is seen through the other.
  std::unique_ptr<MemoryRegistryHive> Share() const;

  bool KeyExists(const std::string& key) override;
  void CreateKey(const std::string& key) override;
  bool DeleteKey(const std::string& key) override;
  std::optional<platform::RegistryValue> ReadValue(const std::string& key, const std::string& name) override;
  void WriteValue(const std::string& key, const std::string& name,
                  const platform::RegistryValue& value) override;
  bool DeleteValue(const std::string& key, const std::string& name) override;
  std::vector<std::string> SubKeyNames(const std::string& key) override;
  std::vector<std::string> ValueNames(const std::string& key) override;

 private:
  struct Store;
  explicit MemoryRegistryHive(std::shared_ptr<Store> store);

  std::shared_ptr<Store> store_;
};
