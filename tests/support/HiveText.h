#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Registry.h"

// The text of a local-machine hive file in the registry-export format, for
// tests that start from a given registry:
//   HiveText()
//       .Key("Software\\Orvel\\Install").String("InstallType", "Server").String("PATH", "/opt/corvane/")
//       .Key("Software\\Orvel\\DataCollector").DWord("LogComm", 1)
//       .Text()
// gives
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\Software\Orvel\Install]
//   "InstallType"="Server"
//   "PATH"="/opt/corvane/"
//
//   [HKEY_LOCAL_MACHINE\Software\Orvel\DataCollector]
//   "LogComm"=dword:00000001
// Names and texts are written with their quotes and backslashes escaped, so
// any name or text reads back as given. Lines end in "\n".
class HiveText {
 public:
  HiveText() = default;

  // Starts the section of `key` (a path below HKEY_LOCAL_MACHINE, without
  // leading "\"); the values that follow belong to it.
  HiveText& Key(const std::string& key);
  // "name"="text"; the name "" is the key's default value (@).
  HiveText& String(const std::string& name, const std::string& text);
  // "name"=dword:xxxxxxxx
  HiveText& DWord(const std::string& name, std::uint32_t number);
  // Any value in the form the hive file stores it: a text without NUL or line
  // break as String does, a four-byte number as DWord does, everything else as
  // hex(type) bytes (hex: for binary data).
  HiveText& Value(const std::string& name, const platform::RegistryValue& value);
  // One line as given, for what the methods above cannot write (a malformed
  // line, a deletion, a comment).
  HiveText& Line(const std::string& line);

  const std::string& Text() const { return text_; }
  operator const std::string&() const { return text_; }

 private:
  std::string text_ = "Windows Registry Editor Version 5.00\n";
};
