#include "Shared/Orvel_Shared/OrvelClasses.h"

#include <cstring>

#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "Shared/Orvel_Shared/OrvelUtils.h"
#include "platform/TextEncoding.h"

namespace {

using platform::RegistryValue;
using platform::RegistryValueType;

[[noreturn]] void ReadError(const std::string& name) {
  throw ERegistryException("Invalid data type for '" + name + "'");
}
[[noreturn]] void GetDataError(const std::string& name) {
  throw ERegistryException("Failed to get data for '" + name + "'");
}
[[noreturn]] void SetDataError(const std::string& name) {
  throw ERegistryException("Failed to set data for '" + name + "'");
}

// Runs a hive operation, raising a hive failure as ERegistryException.
template <class Operation>
auto OnHive(Operation operation) -> decltype(operation()) {
  try {
    return operation();
  } catch (const platform::RegistryError& error) {
    throw ERegistryException(error.what());
  }
}

TRegDataType DataTypeOf(RegistryValueType type) {
  switch (type) {
    case RegistryValueType::String:
      return TRegDataType::rdString;
    case RegistryValueType::ExpandString:
      return TRegDataType::rdExpandString;
    case RegistryValueType::DWord:
      return TRegDataType::rdInteger;
    case RegistryValueType::Binary:
      return TRegDataType::rdBinary;
    default:
      return TRegDataType::rdUnknown;
  }
}

std::string JoinPath(const std::string& base, const std::string& relative) {
  if (base.empty()) return relative;
  if (relative.empty()) return base;
  return base + "\\" + relative;
}

std::string StripSeparators(const std::string& key) {
  std::size_t begin = 0;
  std::size_t end = key.size();
  while (begin < end && key[begin] == '\\') ++begin;
  while (end > begin && key[end - 1] == '\\') --end;
  return key.substr(begin, end - begin);
}

}  // namespace

// ---------------------------------------------------------------------------
// TRegistry

TRegistry::TRegistry() : TRegistry(kLocalMachine, kKeyAllAccess) {}

TRegistry::TRegistry(std::uint32_t access) : TRegistry(kLocalMachine, access) {}

TRegistry::TRegistry(TRootKey rootKey, std::uint32_t access) : FRootKey(rootKey), FAccess(access) {}

TRegistry::~TRegistry() { CloseKey(); }

void TRegistry::SetRootKey(TRootKey rootKey) {
  CloseKey();
  if (rootKey != FRootKey) LHive.reset();
  FRootKey = rootKey;
}

platform::RegistryHive& TRegistry::Hive() {
  if (!LHive) LHive = platform::OpenRegistryHive(FRootKey);
  return *LHive;
}

std::string TRegistry::ResolveKey(const std::string& key) const {
  bool absolute = !key.empty() && key[0] == '\\';
  std::string path = StripSeparators(key);
  if (!absolute && FHasCurrentKey) return JoinPath(FCurrentPath, path);
  return path;
}

bool TRegistry::OpenKey(const std::string& key, bool canCreate) {
  std::string path = ResolveKey(key);
  bool exists = OnHive([&] { return Hive().KeyExists(path); });
  if (!exists) {
    if (!canCreate || (FAccess & kKeyCreateSubKey) == 0) return false;
    OnHive([&] { Hive().CreateKey(path); });
  }
  CloseKey();
  FHasCurrentKey = true;
  FCurrentPath = path;
  FCurrentWritable = (FAccess & kKeySetValue) != 0;
  return true;
}

bool TRegistry::OpenKeyReadOnly(const std::string& key) {
  std::string path = ResolveKey(key);
  if (!OnHive([&] { return Hive().KeyExists(path); })) return false;
  CloseKey();
  FHasCurrentKey = true;
  FCurrentPath = path;
  FCurrentWritable = false;
  return true;
}

void TRegistry::CloseKey() {
  FHasCurrentKey = false;
  FCurrentWritable = false;
  FCurrentPath.clear();
}

bool TRegistry::KeyExists(const std::string& key) {
  std::string path = ResolveKey(key);
  return OnHive([&] { return Hive().KeyExists(path); });
}

bool TRegistry::CreateKey(const std::string& key) {
  if ((FAccess & kKeyCreateSubKey) == 0) return false;
  std::string path = ResolveKey(key);
  OnHive([&] { Hive().CreateKey(path); });
  return true;
}

bool TRegistry::DeleteKey(const std::string& key) {
  if ((FAccess & kKeySetValue) == 0) return false;
  std::string path = ResolveKey(key);
  if (path.empty()) return false;
  bool deleted = OnHive([&] { return Hive().DeleteKey(path); });
  // A current key inside the deleted one no longer exists.
  if (deleted && FHasCurrentKey && !OnHive([&] { return Hive().KeyExists(FCurrentPath); })) CloseKey();
  return deleted;
}

std::vector<std::string> TRegistry::GetKeyNames() {
  if (!FHasCurrentKey) return {};
  return OnHive([&] { return Hive().SubKeyNames(FCurrentPath); });
}

std::vector<std::string> TRegistry::GetValueNames() {
  if (!FHasCurrentKey) return {};
  return OnHive([&] { return Hive().ValueNames(FCurrentPath); });
}

std::optional<RegistryValue> TRegistry::QueryValue(const std::string& name) {
  if (!FHasCurrentKey) return std::nullopt;
  return OnHive([&] { return Hive().ReadValue(FCurrentPath, name); });
}

std::optional<RegistryValue> TRegistry::GetRawValue(const std::string& name) { return QueryValue(name); }

void TRegistry::PutValue(const std::string& name, const RegistryValue& value) {
  if (!FHasCurrentKey || !FCurrentWritable) SetDataError(name);
  try {
    Hive().WriteValue(FCurrentPath, name, value);
  } catch (const platform::RegistryError&) {
    SetDataError(name);
  }
}

bool TRegistry::ValueExists(const std::string& name) { return QueryValue(name).has_value(); }

bool TRegistry::DeleteValue(const std::string& name) {
  if (!FHasCurrentKey || !FCurrentWritable) return false;
  return OnHive([&] { return Hive().DeleteValue(FCurrentPath, name); });
}

bool TRegistry::GetDataInfo(const std::string& name, TRegDataInfo& info) {
  std::optional<RegistryValue> value = QueryValue(name);
  info = TRegDataInfo{};
  if (!value) return false;
  info.RegData = DataTypeOf(value->type);
  info.DataSize = static_cast<int>(value->data.size());
  return true;
}

TRegDataType TRegistry::GetDataType(const std::string& name) {
  TRegDataInfo info;
  GetDataInfo(name, info);
  return info.RegData;
}

int TRegistry::GetDataSize(const std::string& name) {
  TRegDataInfo info;
  return GetDataInfo(name, info) ? info.DataSize : -1;
}

std::string TRegistry::ReadString(const std::string& name) {
  std::optional<RegistryValue> value = QueryValue(name);
  if (!value || value->data.empty()) return "";
  if (value->type != RegistryValueType::String && value->type != RegistryValueType::ExpandString)
    ReadError(name);
  return value->AsText();
}

int TRegistry::ReadInteger(const std::string& name) {
  std::optional<RegistryValue> value = QueryValue(name);
  if (!value || value->data.size() > 4) GetDataError(name);
  if (value->type != RegistryValueType::DWord) ReadError(name);
  std::uint32_t number = 0;
  for (std::size_t i = 0; i < value->data.size(); ++i) number |= std::uint32_t{value->data[i]} << (8 * i);
  return static_cast<int>(number);
}

bool TRegistry::ReadBool(const std::string& name) { return ReadInteger(name) != 0; }

double TRegistry::ReadFloat(const std::string& name) {
  std::optional<RegistryValue> value = QueryValue(name);
  if (!value || value->data.size() > sizeof(double)) GetDataError(name);
  if (value->type != RegistryValueType::Binary || value->data.size() != sizeof(double)) ReadError(name);
  double number = 0;
  std::memcpy(&number, value->data.data(), sizeof number);
  return number;
}

TDateTime TRegistry::ReadDateTime(const std::string& name) { return ReadFloat(name); }

int TRegistry::ReadBinaryData(const std::string& name, void* buffer, int bufSize) {
  std::optional<RegistryValue> value = QueryValue(name);
  if (!value) return 0;
  TRegDataType type = DataTypeOf(value->type);
  if ((type != TRegDataType::rdBinary && type != TRegDataType::rdUnknown) || bufSize < 0 ||
      value->data.size() > static_cast<std::size_t>(bufSize))
    ReadError(name);
  if (!value->data.empty()) std::memcpy(buffer, value->data.data(), value->data.size());
  return static_cast<int>(value->data.size());
}

void TRegistry::WriteString(const std::string& name, const std::string& value) {
  PutValue(name, RegistryValue::Text(value));
}

void TRegistry::WriteExpandString(const std::string& name, const std::string& value) {
  PutValue(name, RegistryValue::Text(value, RegistryValueType::ExpandString));
}

void TRegistry::WriteInteger(const std::string& name, int value) {
  PutValue(name, RegistryValue::DWord(static_cast<std::uint32_t>(value)));
}

void TRegistry::WriteBool(const std::string& name, bool value) { WriteInteger(name, value ? 1 : 0); }

void TRegistry::WriteFloat(const std::string& name, double value) {
  std::vector<std::uint8_t> bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  PutValue(name, RegistryValue::Binary(std::move(bytes)));
}

void TRegistry::WriteDateTime(const std::string& name, TDateTime value) { WriteFloat(name, value); }

void TRegistry::WriteBinaryData(const std::string& name, const void* buffer, int bufSize) {
  if (bufSize < 0) SetDataError(name);
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  PutValue(name, RegistryValue::Binary(std::vector<std::uint8_t>(bytes, bytes + bufSize)));
}

void TRegistry::WriteRawValue(const std::string& name, const RegistryValue& value) { PutValue(name, value); }

// ---------------------------------------------------------------------------
// TOrvelRegistry

TOrvelRegistry::TOrvelRegistry(TRootKey rootKey, std::uint32_t access) : TRegistry(rootKey, access) {
  SetLazyWrite(true);
}

bool TOrvelRegistry::ClearKey(TRootKey rootKey, const std::string& key) {
  TOrvelRegistry reg(rootKey, kKeyReadWrite);
  if (!reg.KeyExists(key)) return true;
  return reg.DeleteKey(key);
}

bool TOrvelRegistry::ClearValue(TRootKey rootKey, const std::string& key, const std::string& name) {
  TOrvelRegistry reg(rootKey, kKeyReadWrite);
  if (reg.OpenKey(key, false) && reg.ValueExists(name)) return reg.DeleteValue(name);
  return true;
}

bool TOrvelRegistry::DoesKeyExist(TRootKey rootKey, const std::string& key) {
  TOrvelRegistry reg(rootKey, kKeyRead);
  return reg.KeyExists(key);
}

namespace {

// The typed Get... functions: the default for a missing key or value, and for
// a value the typed read rejects. A hive that cannot be read still raises.
template <class Result, class Read>
Result GetTyped(TRootKey rootKey, const std::string& key, const std::string& name, Result defaultValue,
                Read read) {
  TOrvelRegistry reg(rootKey, kKeyRead);
  if (!reg.OpenKey(key, false) || !reg.ValueExists(name)) return defaultValue;
  try {
    return read(reg);
  } catch (const ERegistryException&) {
    return defaultValue;
  }
}

template <class Write>
bool SetTyped(TRootKey rootKey, const std::string& key, Write write) {
  TOrvelRegistry reg(rootKey, kKeyReadWrite);
  if (!reg.OpenKey(key, true)) return false;
  write(reg);
  return true;
}

}  // namespace

bool TOrvelRegistry::GetBoolean(TRootKey rootKey, const std::string& key, const std::string& name,
                                bool defaultValue) {
  return GetTyped(rootKey, key, name, defaultValue, [&](TOrvelRegistry& reg) { return reg.ReadBool(name); });
}

bool TOrvelRegistry::SetBoolean(TRootKey rootKey, const std::string& key, const std::string& name, bool value) {
  return SetTyped(rootKey, key, [&](TOrvelRegistry& reg) { reg.WriteBool(name, value); });
}

int TOrvelRegistry::GetInteger(TRootKey rootKey, const std::string& key, const std::string& name,
                               int defaultValue) {
  return GetTyped(rootKey, key, name, defaultValue, [&](TOrvelRegistry& reg) { return reg.ReadInteger(name); });
}

bool TOrvelRegistry::SetInteger(TRootKey rootKey, const std::string& key, const std::string& name, int value) {
  return SetTyped(rootKey, key, [&](TOrvelRegistry& reg) { reg.WriteInteger(name, value); });
}

double TOrvelRegistry::GetFloat(TRootKey rootKey, const std::string& key, const std::string& name,
                                double defaultValue) {
  return GetTyped(rootKey, key, name, defaultValue, [&](TOrvelRegistry& reg) { return reg.ReadFloat(name); });
}

bool TOrvelRegistry::SetFloat(TRootKey rootKey, const std::string& key, const std::string& name, double value) {
  return SetTyped(rootKey, key, [&](TOrvelRegistry& reg) { reg.WriteFloat(name, value); });
}

TDateTime TOrvelRegistry::GetDateTime(TRootKey rootKey, const std::string& key, const std::string& name,
                                      TDateTime defaultValue) {
  return GetTyped(rootKey, key, name, defaultValue,
                  [&](TOrvelRegistry& reg) { return reg.ReadDateTime(name); });
}

bool TOrvelRegistry::SetDateTime(TRootKey rootKey, const std::string& key, const std::string& name,
                                 TDateTime value) {
  return SetTyped(rootKey, key, [&](TOrvelRegistry& reg) { reg.WriteDateTime(name, value); });
}

std::string TOrvelRegistry::GetString(TRootKey rootKey, const std::string& key, const std::string& name,
                                      const std::string& defaultValue, std::uint32_t access) {
  std::string result;
  {
    TOrvelRegistry reg(rootKey, access | kKeyRead);
    if (reg.OpenKeyReadOnly(key) && reg.ValueExists(name)) result = reg.ReadString(name, "");
  }
  return result.empty() ? defaultValue : result;
}

bool TOrvelRegistry::SetString(TRootKey rootKey, const std::string& key, const std::string& name,
                               const std::string& value) {
  if (value.empty()) {
    ClearValue(rootKey, key, name);
    return true;
  }
  return SetTyped(rootKey, key, [&](TOrvelRegistry& reg) { reg.WriteString(name, value); });
}

std::string TOrvelRegistry::ReadString(const std::string& name, const std::string& defaultValue) {
  std::optional<RegistryValue> value = GetRawValue(name);
  if (!value) return defaultValue;
  if (value->type == RegistryValueType::MultiString) return ReadMultiStr(name, defaultValue);
  if ((value->type != RegistryValueType::String && value->type != RegistryValueType::ExpandString) ||
      value->data.empty())
    return defaultValue;
  return value->AsText();
}

std::string TOrvelRegistry::ReadMultiStr(const std::string& name, const std::string& defaultValue) {
  std::optional<RegistryValue> value = GetRawValue(name);
  if (!value) return defaultValue;
  if (value->type == RegistryValueType::String || value->type == RegistryValueType::ExpandString)
    return ReadString(name, defaultValue);
  if (value->type != RegistryValueType::MultiString || value->data.empty()) return defaultValue;
  // The whole data as text, inner NULs included; the trim removes the
  // terminating ones.
  return TrimText(platform::Utf16LeToUtf8(value->data.data(), value->data.size()));
}

bool TOrvelRegistry::ReadMultiStr(const std::string& name, std::vector<std::string>& lines) {
  std::optional<RegistryValue> value = GetRawValue(name);
  lines.clear();
  if (!value) return false;
  if (value->type == RegistryValueType::MultiString) {
    lines = value->AsTexts();
    return true;
  }
  if (value->type == RegistryValueType::String || value->type == RegistryValueType::ExpandString) {
    lines.push_back(value->AsText());
    return true;
  }
  return false;
}

void TOrvelRegistry::WriteMultiStr(const std::string& name, const std::vector<std::string>& data) {
  WriteRawValue(name, RegistryValue::MultiText(data));
}

std::uint64_t TOrvelRegistry::ReadQWord(const std::string& name, std::uint64_t defaultValue) {
  std::optional<RegistryValue> value = GetRawValue(name);
  if (!value) return defaultValue;
  if (value->type != RegistryValueType::QWord || value->data.size() != 8) GetDataError(name);
  std::uint64_t number = 0;
  for (std::size_t i = 0; i < 8; ++i) number |= std::uint64_t{value->data[i]} << (8 * i);
  return number;
}

void TOrvelRegistry::WriteQWord(const std::string& name, std::uint64_t data) {
  WriteRawValue(name, RegistryValue::QWord(data));
}
