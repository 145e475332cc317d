#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "Shared/Orvel_Shared/DateTime.h"
#include "platform/Registry.h"

// The registry accessor, the registry helper and the owning lists.

// ---------------------------------------------------------------------------
// Registry access masks (registry numbering). Only kKeySetValue and
// kKeyCreateSubKey change what an accessor may do: without them a write or a
// key creation fails. The view flags are accepted and have no effect here.
constexpr std::uint32_t kKeyQueryValue = 0x0001;
constexpr std::uint32_t kKeySetValue = 0x0002;
constexpr std::uint32_t kKeyCreateSubKey = 0x0004;
constexpr std::uint32_t kKeyEnumerateSubKeys = 0x0008;
constexpr std::uint32_t kKeyNotify = 0x0010;
constexpr std::uint32_t kKeyWow64_64Key = 0x0100;
constexpr std::uint32_t kKeyWow64_32Key = 0x0200;
constexpr std::uint32_t kKeyRead = 0x20019;
constexpr std::uint32_t kKeyWrite = 0x20006;
constexpr std::uint32_t kKeyReadWrite = kKeyRead | kKeyWrite;  // 0x2001F
constexpr std::uint32_t kKeyAllAccess = 0xF003F;

using TRootKey = platform::RegistryRoot;
constexpr TRootKey kLocalMachine = platform::RegistryRoot::LocalMachine;

// The data types as the accessor reports them.
enum class TRegDataType { rdUnknown, rdString, rdExpandString, rdInteger, rdBinary };

struct TRegDataInfo {
  TRegDataType RegData = TRegDataType::rdUnknown;
  int DataSize = 0;  // bytes
};

// A general registry accessor: a root key, an access mask and at most one open
// current key. Not thread-safe: one accessor belongs to one thread; separate
// accessors may be used on separate threads.
//
// Key names: a name that begins with "\" is absolute (from the root); any
// other name is relative to the current key when one is open, else absolute.
//
// Raises ERegistryException: for the typed reads and writes as stated below,
// and from every operation when the hive itself cannot be read or written
// (a malformed or unreadable hive file; the message names file and line).
class TRegistry {
 public:
  // The local-machine root with full access.
  TRegistry();
  explicit TRegistry(std::uint32_t access);
  TRegistry(TRootKey rootKey, std::uint32_t access);
  TRegistry(const TRegistry&) = delete;
  TRegistry& operator=(const TRegistry&) = delete;
  virtual ~TRegistry();  // closes the current key

  TRootKey RootKey() const { return FRootKey; }
  void SetRootKey(TRootKey rootKey);  // closes the current key
  std::uint32_t Access() const { return FAccess; }
  void SetAccess(std::uint32_t access) { FAccess = access; }
  bool LazyWrite() const { return FLazyWrite; }
  void SetLazyWrite(bool lazyWrite) { FLazyWrite = lazyWrite; }
  bool HasCurrentKey() const { return FHasCurrentKey; }
  // The current key's path from the root, without leading "\"; "" when none.
  const std::string& CurrentPath() const { return FCurrentPath; }

  // Opens `key` as the current key with the accessor's mask, creating it
  // (with its parents) when `canCreate` and the mask allows. False when it
  // does not exist or cannot be created; the previous current key then stays.
  bool OpenKey(const std::string& key, bool canCreate);
  // Opens `key` for reading only (writes through it fail). False when missing.
  bool OpenKeyReadOnly(const std::string& key);
  // Closes the current key, if any. Every write is stored when it is made, so
  // there is nothing left to flush.
  void CloseKey();

  bool KeyExists(const std::string& key);
  // Creates `key` with its parents; false when the mask does not allow.
  bool CreateKey(const std::string& key);
  // Deletes `key` with its subkeys; false when it did not exist or the mask
  // does not allow.
  bool DeleteKey(const std::string& key);
  // Subkeys and values of the current key (empty without one).
  std::vector<std::string> GetKeyNames();
  std::vector<std::string> GetValueNames();

  // The following work on the current key; without one, a value is missing.
  bool ValueExists(const std::string& name);
  bool DeleteValue(const std::string& name);
  // False when the value is missing.
  bool GetDataInfo(const std::string& name, TRegDataInfo& info);
  TRegDataType GetDataType(const std::string& name);  // rdUnknown when missing
  int GetDataSize(const std::string& name);           // -1 when missing
  // The value's registry type and raw data; nothing when missing.
  std::optional<platform::RegistryValue> GetRawValue(const std::string& name);

  // Text of a REG_SZ or REG_EXPAND_SZ value (not expanded), cut at its first
  // NUL; "" when the value is missing or empty. Any other type raises
  // "Invalid data type for '<name>'".
  std::string ReadString(const std::string& name);
  // REG_DWORD. Missing raises "Failed to get data for '<name>'", another type
  // "Invalid data type for '<name>'".
  int ReadInteger(const std::string& name);
  bool ReadBool(const std::string& name);  // ReadInteger != 0
  // 8 bytes of REG_BINARY; raises as ReadInteger.
  double ReadFloat(const std::string& name);
  TDateTime ReadDateTime(const std::string& name);
  // Copies at most `bufSize` bytes of a REG_BINARY (or unknown-type) value;
  // raises "Invalid data type" for another type or a larger value, 0 when
  // missing.
  int ReadBinaryData(const std::string& name, void* buffer, int bufSize);

  // Writes raise "Failed to set data for '<name>'" without a current key, when
  // the key was opened without write access, or when the hive cannot be
  // written.
  void WriteString(const std::string& name, const std::string& value);
  void WriteExpandString(const std::string& name, const std::string& value);
  void WriteInteger(const std::string& name, int value);
  void WriteBool(const std::string& name, bool value);
  void WriteFloat(const std::string& name, double value);
  void WriteDateTime(const std::string& name, TDateTime value);
  void WriteBinaryData(const std::string& name, const void* buffer, int bufSize);
  // Writes a value of any type.
  void WriteRawValue(const std::string& name, const platform::RegistryValue& value);

 protected:
  platform::RegistryHive& Hive();

 private:
  std::string ResolveKey(const std::string& key) const;
  std::optional<platform::RegistryValue> QueryValue(const std::string& name);
  void PutValue(const std::string& name, const platform::RegistryValue& value);

  TRootKey FRootKey = kLocalMachine;
  std::uint32_t FAccess = kKeyAllAccess;
  bool FLazyWrite = true;
  bool FHasCurrentKey = false;
  bool FCurrentWritable = false;
  std::string FCurrentPath;
  std::unique_ptr<platform::RegistryHive> LHive;
};

// The registry helper: an accessor with lazy write always on, plus class
// functions that read or write one value in one call through a temporary
// accessor. The Get... functions turn every kind of absence, and a value of
// the wrong type, into their default; the Set... functions return false when
// the key cannot be opened or created and let an error of the write itself
// escape (ERegistryException). A hive that cannot be read at all raises
// ERegistryException from every function. Thread-safe: no shared state.
class TOrvelRegistry : public TRegistry {
 public:
  TOrvelRegistry(TRootKey rootKey, std::uint32_t access);

  static bool ClearKey(TRootKey rootKey, const std::string& key);
  static bool ClearValue(TRootKey rootKey, const std::string& key, const std::string& name);
  static bool DoesKeyExist(TRootKey rootKey, const std::string& key);

  static bool GetBoolean(TRootKey rootKey, const std::string& key, const std::string& name,
                         bool defaultValue);
  static bool SetBoolean(TRootKey rootKey, const std::string& key, const std::string& name,
                         bool value);
  static int GetInteger(TRootKey rootKey, const std::string& key, const std::string& name,
                        int defaultValue);
  static bool SetInteger(TRootKey rootKey, const std::string& key, const std::string& name,
                         int value);
  static double GetFloat(TRootKey rootKey, const std::string& key, const std::string& name,
                         double defaultValue);
  static bool SetFloat(TRootKey rootKey, const std::string& key, const std::string& name,
                       double value);
  static TDateTime GetDateTime(TRootKey rootKey, const std::string& key, const std::string& name,
                               TDateTime defaultValue);
  static bool SetDateTime(TRootKey rootKey, const std::string& key, const std::string& name,
                          TDateTime value);
  // The text of the value (a multi-string as its texts joined by one NUL), or
  // `defaultValue` when the key or value is missing, not a text, or empty.
  // `access` is added to the read mask.
  static std::string GetString(TRootKey rootKey, const std::string& key, const std::string& name,
                               const std::string& defaultValue, std::uint32_t access = 0);
  // An empty `value` clears the value and returns true.
  static bool SetString(TRootKey rootKey, const std::string& key, const std::string& name,
                        const std::string& value);

  // On the open key: text of a REG_SZ / REG_EXPAND_SZ value (cut at its first
  // NUL), ReadMultiStr for a REG_MULTI_SZ; `defaultValue` when the value is
  // missing, empty or of another type.
  std::string ReadString(const std::string& name, const std::string& defaultValue);
  using TRegistry::ReadString;
  // A REG_MULTI_SZ value as one text, its texts separated by NUL, trimmed of
  // blanks and control characters at both ends; a REG_SZ / REG_EXPAND_SZ via
  // ReadString; `defaultValue` otherwise.
  std::string ReadMultiStr(const std::string& name, const std::string& defaultValue);
  // The texts of a REG_MULTI_SZ (or the one text of a REG_SZ) value; false
  // when missing or of another type.
  bool ReadMultiStr(const std::string& name, std::vector<std::string>& lines);
  // Raises "Failed to set data for '<name>'" when it cannot write.
  void WriteMultiStr(const std::string& name, const std::vector<std::string>& data);
  // REG_QWORD. Raise "Failed to get data for '<name>'" (missing or another
  // type) / "Failed to set data for '<name>'".
  std::uint64_t ReadQWord(const std::string& name, std::uint64_t defaultValue);
  void WriteQWord(const std::string& name, std::uint64_t data);
};

// ---------------------------------------------------------------------------
// Owning lists. The list owns every object it holds: Clear and destruction
// free them. A plain Delete / Remove hands the object back to the caller
// instead of freeing it; only the DeleteAndFree operations free. Not
// thread-safe.

enum class TDuplicates { dupIgnore, dupAccept, dupError };

// A string list, sorted or in insertion order, with an owned object (possibly
// none) per entry. Texts compare without regard to ASCII case unless
// CaseSensitive is set.
template <class T>
class TClearingStringList {
 public:
  TClearingStringList() = default;
  TClearingStringList(const TClearingStringList&) = delete;
  TClearingStringList& operator=(const TClearingStringList&) = delete;
  virtual ~TClearingStringList() { Clear(); }

  int Count() const { return static_cast<int>(LItems.size()); }
  const std::string& Strings(int index) const { return LItems.at(Checked(index)).text; }
  T* Objects(int index) const { return LItems.at(Checked(index)).object.get(); }

  bool Sorted() const { return FSorted; }
  // Switching to sorted sorts the entries.
  void SetSorted(bool sorted) {
    if (sorted && !FSorted) Sort();
    FSorted = sorted;
  }
  bool CaseSensitive() const { return FCaseSensitive; }
  void SetCaseSensitive(bool caseSensitive) {
    FCaseSensitive = caseSensitive;
    if (FSorted) Sort();
  }
  // What Add does with a text already present in a sorted list: dupIgnore
  // keeps the old entry and frees `object`, dupError raises
  // std::invalid_argument, dupAccept adds another entry.
  TDuplicates Duplicates() const { return FDuplicates; }
  void SetDuplicates(TDuplicates duplicates) { FDuplicates = duplicates; }

  // Adds an entry (sorted position or at the end) and returns its index.
  int Add(const std::string& text, std::unique_ptr<T> object = nullptr) {
    int index = Count();
    if (FSorted) {
      if (Find(text, index)) {
        if (FDuplicates == TDuplicates::dupIgnore) return index;
        if (FDuplicates == TDuplicates::dupError)
          throw std::invalid_argument("String list does not allow duplicates");
      }
    }
    LItems.insert(LItems.begin() + index, Entry{text, std::move(object)});
    return index;
  }
  // Inserts at `index` (0..Count); not allowed on a sorted list.
  void Insert(int index, const std::string& text, std::unique_ptr<T> object = nullptr) {
    if (FSorted) throw std::logic_error("Operation not allowed on sorted list");
    if (index < 0 || index > Count()) throw std::out_of_range("List index out of bounds");
    LItems.insert(LItems.begin() + index, Entry{text, std::move(object)});
  }
  // Replaces the entry's object, freeing the one it held.
  void SetObject(int index, std::unique_ptr<T> object) {
    LItems.at(Checked(index)).object = std::move(object);
  }

  // Sorted list: binary search; `index` is the match or the insertion point.
  // Unsorted: linear search, `index` the match or Count.
  bool Find(const std::string& text, int& index) const {
    if (!FSorted) {
      index = IndexOf(text);
      if (index >= 0) return true;
      index = Count();
      return false;
    }
    int low = 0;
    int high = Count() - 1;
    bool found = false;
    while (low <= high) {
      int middle = (low + high) / 2;
      int order = Compare(LItems[middle].text, text);
      if (order < 0) {
        low = middle + 1;
      } else {
        high = middle - 1;
        if (order == 0) {
          found = true;
          if (FDuplicates != TDuplicates::dupAccept) low = middle;
        }
      }
    }
    index = low;
    return found;
  }
  int IndexOf(const std::string& text) const {
    if (FSorted) {
      int index = 0;
      return Find(text, index) ? index : -1;
    }
    for (int i = 0; i < Count(); ++i)
      if (Compare(LItems[i].text, text) == 0) return i;
    return -1;
  }
  int IndexOfObject(const T* object) const {
    for (int i = 0; i < Count(); ++i)
      if (LItems[i].object.get() == object) return i;
    return -1;
  }

  // Removes the entry without freeing its object, which is handed back.
  [[nodiscard]] std::unique_ptr<T> Delete(int index) {
    std::unique_ptr<T> object = std::move(LItems.at(Checked(index)).object);
    LItems.erase(LItems.begin() + index);
    return object;
  }
  // Frees the entry's object and removes the entry; returns `index`, or -1
  // (changing nothing) when it is outside 0..Count-1.
  int DeleteAndFree(int index) {
    if (index < 0 || index >= Count()) return -1;
    LItems.erase(LItems.begin() + index);
    return index;
  }
  int DeleteAndFree(const std::string& text) { return DeleteAndFree(IndexOf(text)); }
  int DeleteAndFree(const char* text) { return DeleteAndFree(std::string(text)); }
  int DeleteAndFree(const T* object) { return DeleteAndFree(IndexOfObject(object)); }
  // Removes the entry holding `object` without freeing it: the object is
  // handed back (null when no entry holds it) and `formerIndex` receives the
  // entry's index or -1.
  [[nodiscard]] std::unique_ptr<T> RemoveObject(const T* object, int* formerIndex = nullptr) {
    int index = IndexOfObject(object);
    if (formerIndex != nullptr) *formerIndex = index;
    if (index < 0) return nullptr;
    return Delete(index);
  }

  // Frees every object, then removes every entry.
  void Clear() {
    for (Entry& entry : LItems) entry.object.reset();
    LItems.clear();
  }

 private:
  struct Entry {
    std::string text;
    std::unique_ptr<T> object;
  };

  int Checked(int index) const {
    if (index < 0 || index >= Count()) throw std::out_of_range("List index out of bounds");
    return index;
  }
  int Compare(const std::string& a, const std::string& b) const {
    if (FCaseSensitive) {
      int order = a.compare(b);
      return order < 0 ? -1 : (order > 0 ? 1 : 0);
    }
    std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
      unsigned char x = Lower(static_cast<unsigned char>(a[i]));
      unsigned char y = Lower(static_cast<unsigned char>(b[i]));
      if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
  }
  static unsigned char Lower(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
  }
  void Sort() {
    std::stable_sort(LItems.begin(), LItems.end(), [this](const Entry& a, const Entry& b) {
      return Compare(a.text, b.text) < 0;
    });
  }

  std::vector<Entry> LItems;
  bool FSorted = false;
  bool FCaseSensitive = false;
  TDuplicates FDuplicates = TDuplicates::dupIgnore;
};

// A list of owned objects (a slot may be empty).
template <class T>
class TClearingList {
 public:
  TClearingList() = default;
  TClearingList(const TClearingList&) = delete;
  TClearingList& operator=(const TClearingList&) = delete;
  virtual ~TClearingList() { Clear(); }

  int Count() const { return static_cast<int>(LItems.size()); }
  T* Items(int index) const { return LItems.at(Checked(index)).get(); }
  int IndexOf(const T* object) const {
    for (int i = 0; i < Count(); ++i)
      if (LItems[i].get() == object) return i;
    return -1;
  }

  // Appends the object (the list now owns it) and returns its index.
  int Add(std::unique_ptr<T> object) {
    LItems.push_back(std::move(object));
    return Count() - 1;
  }
  // Removes the slot without freeing its object, which is handed back.
  [[nodiscard]] std::unique_ptr<T> Delete(int index) {
    std::unique_ptr<T> object = std::move(LItems.at(Checked(index)));
    LItems.erase(LItems.begin() + index);
    return object;
  }
  // Removes the slot holding `object` without freeing it (null when absent).
  [[nodiscard]] std::unique_ptr<T> Remove(const T* object) {
    int index = IndexOf(object);
    return index < 0 ? nullptr : Delete(index);
  }
  // Frees the item and removes its slot; returns `index`, or -1 when it is
  // outside 0..Count-1.
  int DeleteAndFree(int index) {
    if (index < 0 || index >= Count()) return -1;
    LItems.erase(LItems.begin() + index);
    return index;
  }
  // Frees `object` and removes its slot; returns the former index or -1.
  int DeleteAndFree(const T* object) { return DeleteAndFree(IndexOf(object)); }

  // Frees every item, then removes every slot.
  void Clear() {
    for (std::unique_ptr<T>& item : LItems) item.reset();
    LItems.clear();
  }

 private:
  int Checked(int index) const {
    if (index < 0 || index >= Count()) throw std::out_of_range("List index out of bounds");
    return index;
  }

  std::vector<std::unique_ptr<T>> LItems;
};

// The owning object list of the configuration's caches; adds nothing.
template <class T>
class TObjectList : public TClearingList<T> {};
