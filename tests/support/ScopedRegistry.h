#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/ScopedEnv.h"
#include "support/TempDir.h"

// A private local-machine registry for one test: points DC_REGISTRY at a hive
// file in a fresh temporary folder for the life of the object (the file does
// not exist until something writes it, which is an empty hive). Uses the
// environment, so tests using it must not run in parallel threads.
//
// The Windows build's program reads the system registry instead (in the tests,
// that of their own Wine prefix): there the object stands for the program's
// own keys (Software\Orvel and every Software\<vendor> key a text names),
// replaced by each text written, read back as registry-export text and
// removed at the end.
class ScopedRegistry {
 public:
  ScopedRegistry();
  // The hive file starts with `regText`, a registry-export text such as
  // HiveText writes.
  explicit ScopedRegistry(const std::string& regText);
  ~ScopedRegistry();

  // The hive file (on Windows, the registry's name for messages).
  const std::string& path() const { return path_; }
  // Replaces the hive file's text.
  void Write(const std::string& regText) const;
  // The hive file's text ("" when it does not exist).
  std::string Read() const;

 private:
  TempDir dir_;
  std::string path_;
  std::unique_ptr<ScopedEnv> env_;
  // The system registry's keys this object manages (Windows).
  mutable std::vector<std::string> keys_;
};
