#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/Registry.h"

// The in-memory form of a hive and its text form, the registry-export format
// ("Windows Registry Editor Version 5.00", "[HKEY_LOCAL_MACHINE\...]" sections,
// "Name"="text", dword:, hex:, hex(N): values).

namespace platform::regfile {

// `name` with ASCII letters in lower case: the form names are compared in.
std::string FoldCase(const std::string& name);

struct HiveKey {
  std::string name;  // as first written
  std::vector<std::pair<std::string, RegistryValue>> values;  // in the order first written
  std::map<std::string, std::unique_ptr<HiveKey>> subkeys;    // by folded name

  HiveKey* FindSubKey(const std::string& name) const;
  HiveKey& AddSubKey(const std::string& name);  // the existing one when present
  RegistryValue* FindValue(const std::string& name);
  void SetValue(const std::string& name, const RegistryValue& value);
  bool RemoveValue(const std::string& name);
};

// Reads a hive from the text of a file (UTF-8, with or without byte-order
// mark, or UTF-16LE with its mark). Raises RegistryError naming `fileName` and
// the line when the text is malformed.
std::unique_ptr<HiveKey> Parse(const std::string& content, const std::string& fileName);

// The text of a hive, UTF-8 with CRLF line ends. Parse(Format(h)) equals h.
std::string Format(const HiveKey& root);

}  // namespace platform::regfile
