#pragma once

#include <filesystem>
#include <string>

// A fresh folder under the system's temporary folder (or under `parent`),
// removed with everything in it when the object goes out of scope.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "dc-test");
  TempDir(const std::string& prefix, const std::filesystem::path& parent);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // path() / name, as a string.
  std::string file(const std::string& name) const;

 private:
  std::filesystem::path path_;
};
