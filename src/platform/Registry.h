#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// A registry hive: a tree of keys, each holding typed values.
//
// Key paths are relative to the hive's root, their components separated by
// "\"; leading and trailing "\" are ignored, so "\Software\Orvel\" and
// "Software\Orvel" name the same key, and "" names the root. Key and value
// names compare without regard to the case of ASCII letters and keep the case
// they were first written with. The value named "" is the key's default value.
// Texts are UTF-8 at this interface.

namespace platform {

// The hives a program may open. Only the local machine's is provided.
enum class RegistryRoot { LocalMachine };

// Value types, numbered as the registry numbers them; any other number may
// occur in a hive and is kept as it is.
enum class RegistryValueType : std::uint32_t {
  None = 0,
  String = 1,        // text
  ExpandString = 2,  // text with %VARIABLE% references, never expanded here
  Binary = 3,
  DWord = 4,         // 32-bit little-endian number
  MultiString = 7,   // a sequence of texts
  QWord = 11,        // 64-bit little-endian number
};

// One value: its type and its data exactly as the registry stores it (texts
// as NUL-terminated UTF-16LE, a multi-string as NUL-terminated texts followed
// by one more NUL, numbers little-endian).
struct RegistryValue {
  RegistryValueType type = RegistryValueType::None;
  std::vector<std::uint8_t> data;

  static RegistryValue Text(const std::string& text,
                            RegistryValueType type = RegistryValueType::String);
  static RegistryValue MultiText(const std::vector<std::string>& texts);
  static RegistryValue DWord(std::uint32_t value);
  static RegistryValue QWord(std::uint64_t value);
  static RegistryValue Binary(std::vector<std::uint8_t> bytes);

  // The data read as UTF-16LE text, cut at the first NUL (whatever the type).
  std::string AsText() const;
  // The data read as a multi-string: the texts between NULs, up to the first
  // empty one.
  std::vector<std::string> AsTexts() const;

  bool operator==(const RegistryValue&) const = default;
};

// A hive that cannot be read or written: an unreadable or malformed backing
// store (the message names the file and line), or an operating-system error
// (the message carries the system's text).
class RegistryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A hive whose lock another process has held for longer than the hive's
// limit; the message names the file and says it is locked by another process.
class RegistryLockedError : public RegistryError {
 public:
  using RegistryError::RegistryError;
};

// The operations of one hive. Every operation works on the hive's current
// state as stored, so a change made by another process in between is seen and
// kept. Implementations are safe to use from several threads and processes at
// once; each operation is atomic. All raise RegistryError as described above.
class RegistryHive {
 public:
  RegistryHive() = default;
  RegistryHive(const RegistryHive&) = delete;
  RegistryHive& operator=(const RegistryHive&) = delete;
  virtual ~RegistryHive() = default;

  virtual bool KeyExists(const std::string& key) = 0;
  // Creates the key and any missing parents; does nothing when it exists.
  virtual void CreateKey(const std::string& key) = 0;
  // Deletes the key with all its subkeys and values. False when it did not
  // exist. The root cannot be deleted (raises).
  virtual bool DeleteKey(const std::string& key) = 0;

  // The value, or nothing when the key or the value does not exist.
  virtual std::optional<RegistryValue> ReadValue(const std::string& key,
                                                 const std::string& name) = 0;
  // Writes (replaces) the value; the key must exist, else raises.
  virtual void WriteValue(const std::string& key, const std::string& name,
                          const RegistryValue& value) = 0;
  // False when the key or the value did not exist.
  virtual bool DeleteValue(const std::string& key, const std::string& name) = 0;

  // Names of the subkeys / values of an existing key, in the case they were
  // written with (subkeys sorted without regard to case, values in the order
  // they were first written). Empty for a missing key.
  virtual std::vector<std::string> SubKeyNames(const std::string& key) = 0;
  virtual std::vector<std::string> ValueNames(const std::string& key) = 0;
};

// The hive of `root` on this machine. The POSIX backend keeps the
// local-machine hive in a text file in the registry-export format; its path is
// the environment variable DC_REGISTRY, read at every call, else
// "/etc/datacollector/registry.reg". A missing file is an empty hive. The
// Windows backend is the system's registry, in its 32-bit view.
std::unique_ptr<RegistryHive> OpenRegistryHive(RegistryRoot root);

// The components of a key path: the texts between its "\" separators, empty
// ones (leading, trailing or repeated separators) dropped. Every hive names
// its keys by these.
std::vector<std::string> RegistryKeyPathParts(const std::string& path);

// A text value of the system's own registry under HKEY_LOCAL_MACHINE, in the
// view of this program's bitness (what other software of that bitness
// registered, such as a database client's install folder); nothing when it is
// missing or the system has no such registry (POSIX). Never raises.
std::optional<std::string> SystemRegistryText(const std::string& key, const std::string& name);

// Where the hive of `root` is kept, for messages that must say which hive was
// read: the file's path on POSIX. Never raises.
std::string RegistryHiveLocation(RegistryRoot root);

}  // namespace platform
