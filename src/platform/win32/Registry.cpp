// The registry hive on the Windows registry itself. Every key is opened in
// the 32-bit view, so that a 64-bit build reads and writes the same keys as
// 32-bit programs of the same installation.
#include "platform/Registry.h"

#include <algorithm>
#include <cwctype>

#include "platform/win32/Win32Text.h"

namespace platform {
namespace {

using win32::ErrorText;
using win32::Narrow;
using win32::Widen;

constexpr REGSAM kView = KEY_WOW64_32KEY;

// The path as the registry's own calls take it: its components joined by
// single backslashes (the calls refuse the empty components that a hive's
// paths may hold).
std::wstring KeyPath(const std::string& key) {
  std::string path;
  for (const std::string& part : RegistryKeyPathParts(key)) {
    if (!path.empty()) path += '\\';
    path += part;
  }
  return Widen(path);
}

class Key {
 public:
  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() {
    if (FKey != nullptr) RegCloseKey(FKey);
  }
  HKEY* Out() { return &FKey; }
  HKEY Get() const { return FKey; }

 private:
  HKEY FKey = nullptr;
};

[[noreturn]] void Fail(LONG error, const std::string& what, const std::string& key) {
  throw RegistryError("Registry: cannot " + what + " HKEY_LOCAL_MACHINE\\" + key + ": " +
                      ErrorText(static_cast<DWORD>(error)));
}

bool LessNoCase(const std::string& a, const std::string& b) {
  const std::wstring wa = Widen(a), wb = Widen(b);
  return CompareStringOrdinal(wa.data(), static_cast<int>(wa.size()), wb.data(), static_cast<int>(wb.size()),
                              TRUE) == CSTR_LESS_THAN;
}

class Win32RegistryHive : public RegistryHive {
 public:
  bool KeyExists(const std::string& key) override {
    Key opened;
    const LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, KeyPath(key).c_str(), 0, KEY_READ | kView, opened.Out());
    if (result == ERROR_SUCCESS) return true;
    if (result == ERROR_FILE_NOT_FOUND || result == ERROR_PATH_NOT_FOUND) return false;
    Fail(result, "open", key);
  }

  void CreateKey(const std::string& key) override {
    Key created;
    const LONG result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, KeyPath(key).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                       KEY_WRITE | kView, nullptr, created.Out(), nullptr);
    if (result != ERROR_SUCCESS) Fail(result, "create", key);
  }

  bool DeleteKey(const std::string& key) override {
    const std::wstring path = KeyPath(key);
    if (path.empty()) throw RegistryError("Registry: the root key cannot be deleted");
    {
      Key opened;
      LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS | kView, opened.Out());
      if (result == ERROR_FILE_NOT_FOUND || result == ERROR_PATH_NOT_FOUND) return false;
      if (result != ERROR_SUCCESS) Fail(result, "open", key);
      result = RegDeleteTreeW(opened.Get(), nullptr);
      if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND) Fail(result, "delete", key);
    }
    const LONG result = RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), kView, 0);
    if (result == ERROR_FILE_NOT_FOUND) return false;
    if (result != ERROR_SUCCESS) Fail(result, "delete", key);
    return true;
  }

  std::optional<RegistryValue> ReadValue(const std::string& key, const std::string& name) override {
    Key opened;
    LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, KeyPath(key).c_str(), 0, KEY_QUERY_VALUE | kView, opened.Out());
    if (result == ERROR_FILE_NOT_FOUND || result == ERROR_PATH_NOT_FOUND) return std::nullopt;
    if (result != ERROR_SUCCESS) Fail(result, "open", key);
    const std::wstring valueName = Widen(name);
    RegistryValue value;
    DWORD size = 0;
    DWORD type = 0;
    // The value may grow between the two calls when another process writes it.
    while (true) {
      result = RegQueryValueExW(opened.Get(), valueName.c_str(), nullptr, &type, nullptr, &size);
      if (result == ERROR_FILE_NOT_FOUND) return std::nullopt;
      if (result != ERROR_SUCCESS) Fail(result, "read \"" + name + "\" of", key);
      value.data.resize(size);
      result = RegQueryValueExW(opened.Get(), valueName.c_str(), nullptr, &type, value.data.data(), &size);
      if (result == ERROR_MORE_DATA) continue;
      if (result == ERROR_FILE_NOT_FOUND) return std::nullopt;
      if (result != ERROR_SUCCESS) Fail(result, "read \"" + name + "\" of", key);
      value.data.resize(size);
      value.type = static_cast<RegistryValueType>(type);
      return value;
    }
  }

  void WriteValue(const std::string& key, const std::string& name, const RegistryValue& value) override {
    Key opened;
    LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, KeyPath(key).c_str(), 0, KEY_SET_VALUE | kView, opened.Out());
    if (result != ERROR_SUCCESS) Fail(result, "open", key);
    result = RegSetValueExW(opened.Get(), Widen(name).c_str(), 0, static_cast<DWORD>(value.type), value.data.data(),
                            static_cast<DWORD>(value.data.size()));
    if (result != ERROR_SUCCESS) Fail(result, "write \"" + name + "\" of", key);
  }

  bool DeleteValue(const std::string& key, const std::string& name) override {
    Key opened;
    LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, KeyPath(key).c_str(), 0, KEY_SET_VALUE | kView, opened.Out());
    if (result == ERROR_FILE_NOT_FOUND || result == ERROR_PATH_NOT_FOUND) return false;
    if (result != ERROR_SUCCESS) Fail(result, "open", key);
    result = RegDeleteValueW(opened.Get(), Widen(name).c_str());
    if (result == ERROR_FILE_NOT_FOUND) return false;
    if (result != ERROR_SUCCESS) Fail(result, "delete \"" + name + "\" of", key);
    return true;
  }

  std::vector<std::string> SubKeyNames(const std::string& key) override {
    std::vector<std::string> names = Enumerate(key, true);
    std::stable_sort(names.begin(), names.end(), LessNoCase);
    return names;
  }

  std::vector<std::string> ValueNames(const std::string& key) override { return Enumerate(key, false); }

 private:
  static std::vector<std::string> Enumerate(const std::string& key, bool subKeys) {
    Key opened;
    LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, KeyPath(key).c_str(), 0, KEY_READ | kView, opened.Out());
    if (result == ERROR_FILE_NOT_FOUND || result == ERROR_PATH_NOT_FOUND) return {};
    if (result != ERROR_SUCCESS) Fail(result, "open", key);
    std::vector<std::string> names;
    // Key names are at most 255 characters, value names at most 16383.
    std::wstring buffer(16384, L'\0');
    for (DWORD index = 0;; ++index) {
      DWORD length = static_cast<DWORD>(buffer.size());
      result = subKeys ? RegEnumKeyExW(opened.Get(), index, buffer.data(), &length, nullptr, nullptr, nullptr, nullptr)
                       : RegEnumValueW(opened.Get(), index, buffer.data(), &length, nullptr, nullptr, nullptr, nullptr);
      if (result == ERROR_NO_MORE_ITEMS) break;
      if (result != ERROR_SUCCESS) Fail(result, "list", key);
      names.push_back(Narrow(buffer.data(), length));
    }
    return names;
  }
};

}  // namespace

std::unique_ptr<RegistryHive> OpenRegistryHive(RegistryRoot) { return std::make_unique<Win32RegistryHive>(); }

std::optional<std::string> SystemRegistryText(const std::string& key, const std::string& name) {
  wchar_t text[MAX_PATH] = {};
  DWORD size = sizeof text;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, Widen(key).c_str(), Widen(name).c_str(), RRF_RT_REG_SZ, nullptr, text, &size) !=
      ERROR_SUCCESS)
    return std::nullopt;
  return Narrow(text);
}

std::string RegistryHiveLocation(RegistryRoot) { return "HKEY_LOCAL_MACHINE (32-bit view)"; }

}  // namespace platform
