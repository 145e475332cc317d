// The Windows build's ScopedRegistry. The program's registry is the system's
// (HKEY_LOCAL_MACHINE, 32-bit view; in the tests, that of their own Wine
// prefix), so a test's registry is made there: the program's own keys are
// replaced by the text's keys, and removed again at the end. The rest of the
// machine's registry is never touched; a text naming a key elsewhere raises.
#include "support/ScopedRegistry.h"

#include <algorithm>
#include <stdexcept>

#include "platform/RegFileFormat.h"
#include "platform/Registry.h"

namespace {

using platform::regfile::FoldCase;
using platform::regfile::HiveKey;

constexpr const char* kSoftware = "Software";
// The program's own vendor key: every test starts without it, as the POSIX
// build's tests start from an empty hive file.
constexpr const char* kOwnVendor = "Orvel";
// Keys under Software that belong to the system or to Wine.
constexpr const char* kSystemVendors[] = {"Classes", "Clients", "Microsoft", "Policies",
                                          "RegisteredApplications", "Wine", "WOW6432Node"};

std::unique_ptr<platform::RegistryHive> Hive() {
  return platform::OpenRegistryHive(platform::RegistryRoot::LocalMachine);
}

// The Software\<vendor> keys the text's hive names, checked to be no one
// else's.
std::vector<std::string> VendorKeys(const HiveKey& root) {
  std::vector<std::string> keys;
  if (!root.values.empty()) throw std::invalid_argument("ScopedRegistry: values of HKEY_LOCAL_MACHINE itself");
  for (const auto& [folded, top] : root.subkeys) {
    if (folded != FoldCase(kSoftware) || !top->values.empty()) {
      throw std::invalid_argument("ScopedRegistry: HKEY_LOCAL_MACHINE\\" + top->name +
                                  " is not a Software\\<vendor> key of the program's");
    }
    for (const auto& [vendorFolded, vendor] : top->subkeys) {
      for (const char* system : kSystemVendors) {
        if (vendorFolded == FoldCase(system)) {
          throw std::invalid_argument("ScopedRegistry: HKEY_LOCAL_MACHINE\\Software\\" + vendor->name +
                                      " belongs to the system");
        }
      }
      keys.push_back(std::string(kSoftware) + "\\" + vendor->name);
    }
  }
  return keys;
}

void WriteKey(platform::RegistryHive& hive, const std::string& path, const HiveKey& key) {
  hive.CreateKey(path);
  for (const auto& [name, value] : key.values) hive.WriteValue(path, name, value);
  for (const auto& [folded, subkey] : key.subkeys) WriteKey(hive, path + "\\" + subkey->name, *subkey);
}

void ReadKey(platform::RegistryHive& hive, const std::string& path, HiveKey& key) {
  for (const std::string& name : hive.ValueNames(path)) {
    if (auto value = hive.ReadValue(path, name)) key.SetValue(name, *value);
  }
  for (const std::string& name : hive.SubKeyNames(path)) ReadKey(hive, path + "\\" + name, key.AddSubKey(name));
}

void AddKey(std::vector<std::string>& keys, const std::string& key) {
  const bool known = std::any_of(keys.begin(), keys.end(),
                                 [&](const std::string& k) { return FoldCase(k) == FoldCase(key); });
  if (!known) keys.push_back(key);
}

}  // namespace

ScopedRegistry::ScopedRegistry()
    : dir_("dc-registry"),
      path_(platform::RegistryHiveLocation(platform::RegistryRoot::LocalMachine)),
      keys_{std::string(kSoftware) + "\\" + kOwnVendor} {
  Write("");
}

ScopedRegistry::ScopedRegistry(const std::string& regText) : ScopedRegistry() { Write(regText); }

ScopedRegistry::~ScopedRegistry() {
  try {
    auto hive = Hive();
    for (const std::string& key : keys_) hive->DeleteKey(key);
  } catch (const std::exception&) {
    // Nothing to do about it at the end of a test; the next one starts by
    // replacing the same keys.
  }
}

void ScopedRegistry::Write(const std::string& regText) const {
  const std::unique_ptr<HiveKey> root = platform::regfile::Parse(regText, "ScopedRegistry's text");
  for (const std::string& key : VendorKeys(*root)) AddKey(keys_, key);
  auto hive = Hive();
  for (const std::string& key : keys_) hive->DeleteKey(key);
  for (const auto& [folded, top] : root->subkeys) {
    for (const auto& [vendorFolded, vendor] : top->subkeys) {
      WriteKey(*hive, std::string(kSoftware) + "\\" + vendor->name, *vendor);
    }
  }
}

std::string ScopedRegistry::Read() const {
  auto hive = Hive();
  HiveKey root;
  bool any = false;
  for (const std::string& key : keys_) {
    if (!hive->KeyExists(key)) continue;
    any = true;
    // The vendor key's name as the registry keeps it.
    std::string vendor = key.substr(key.find('\\') + 1);
    for (const std::string& name : hive->SubKeyNames(kSoftware)) {
      if (FoldCase(name) == FoldCase(vendor)) vendor = name;
    }
    ReadKey(*hive, key, root.AddSubKey(kSoftware).AddSubKey(vendor));
  }
  return any ? platform::regfile::Format(root) : std::string();
}
