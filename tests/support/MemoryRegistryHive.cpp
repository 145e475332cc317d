#include "support/MemoryRegistryHive.h"

#include <map>
#include <mutex>
#include <utility>

#include "platform/AsciiText.h"
#include "platform/Registry.h"

using platform::RegistryError;
using platform::RegistryValue;

namespace {

std::string FoldCase(const std::string& name) { return platform::LowerAscii(name); }

struct Key {
  std::string name;
  std::vector<std::pair<std::string, RegistryValue>> values;
  // By folded name, which also gives the listing order.
  std::map<std::string, std::unique_ptr<Key>> subkeys;

  Key* SubKey(const std::string& subName) const {
    auto found = subkeys.find(FoldCase(subName));
    return found == subkeys.end() ? nullptr : found->second.get();
  }

  std::vector<std::pair<std::string, RegistryValue>>::iterator Value(const std::string& valueName) {
    const std::string folded = FoldCase(valueName);
    auto it = values.begin();
    while (it != values.end() && FoldCase(it->first) != folded) ++it;
    return it;
  }
};

}  // namespace

struct MemoryRegistryHive::Store {
  std::mutex mutex;
  Key root;

  Key* Find(const std::string& key) {
    Key* current = &root;
    for (const std::string& part : platform::RegistryKeyPathParts(key)) {
      current = current->SubKey(part);
      if (current == nullptr) return nullptr;
    }
    return current;
  }
};

MemoryRegistryHive::MemoryRegistryHive() : store_(std::make_shared<Store>()) {}

MemoryRegistryHive::MemoryRegistryHive(std::shared_ptr<Store> store) : store_(std::move(store)) {}

MemoryRegistryHive::~MemoryRegistryHive() = default;

std::unique_ptr<MemoryRegistryHive> MemoryRegistryHive::Share() const {
  return std::unique_ptr<MemoryRegistryHive>(new MemoryRegistryHive(store_));
}

bool MemoryRegistryHive::KeyExists(const std::string& key) {
  std::lock_guard lock(store_->mutex);
  return store_->Find(key) != nullptr;
}

void MemoryRegistryHive::CreateKey(const std::string& key) {
  std::lock_guard lock(store_->mutex);
  Key* current = &store_->root;
  for (const std::string& part : platform::RegistryKeyPathParts(key)) {
    std::unique_ptr<Key>& slot = current->subkeys[FoldCase(part)];
    if (!slot) {
      slot = std::make_unique<Key>();
      slot->name = part;
    }
    current = slot.get();
  }
}

bool MemoryRegistryHive::DeleteKey(const std::string& key) {
  const std::vector<std::string> parts = platform::RegistryKeyPathParts(key);
  if (parts.empty()) throw RegistryError("The root key of the in-memory hive cannot be deleted");
  std::lock_guard lock(store_->mutex);
  Key* parent = &store_->root;
  for (std::size_t i = 0; parent != nullptr && i + 1 < parts.size(); ++i) parent = parent->SubKey(parts[i]);
  return parent != nullptr && parent->subkeys.erase(FoldCase(parts.back())) > 0;
}

std::optional<RegistryValue> MemoryRegistryHive::ReadValue(const std::string& key, const std::string& name) {
  std::lock_guard lock(store_->mutex);
  Key* found = store_->Find(key);
  if (found == nullptr) return std::nullopt;
  auto value = found->Value(name);
  if (value == found->values.end()) return std::nullopt;
  return value->second;
}

void MemoryRegistryHive::WriteValue(const std::string& key, const std::string& name, const RegistryValue& value) {
  std::lock_guard lock(store_->mutex);
  Key* found = store_->Find(key);
  if (found == nullptr) throw RegistryError("Key \"" + key + "\" does not exist in the in-memory hive");
  auto existing = found->Value(name);
  if (existing == found->values.end()) {
    found->values.emplace_back(name, value);
  } else {
    existing->second = value;
  }
}

bool MemoryRegistryHive::DeleteValue(const std::string& key, const std::string& name) {
  std::lock_guard lock(store_->mutex);
  Key* found = store_->Find(key);
  if (found == nullptr) return false;
  auto value = found->Value(name);
  if (value == found->values.end()) return false;
  found->values.erase(value);
  return true;
}

std::vector<std::string> MemoryRegistryHive::SubKeyNames(const std::string& key) {
  std::lock_guard lock(store_->mutex);
  std::vector<std::string> names;
  if (Key* found = store_->Find(key))
    for (const auto& [folded, subkey] : found->subkeys) names.push_back(subkey->name);
  return names;
}

std::vector<std::string> MemoryRegistryHive::ValueNames(const std::string& key) {
  std::lock_guard lock(store_->mutex);
  std::vector<std::string> names;
  if (Key* found = store_->Find(key))
    for (const auto& [name, value] : found->values) names.push_back(name);
  return names;
}
