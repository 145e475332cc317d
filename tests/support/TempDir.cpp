#include "support/TempDir.h"

#include <stdexcept>
#include <system_error>

#include <stdlib.h>

TempDir::TempDir(const std::string& prefix) : TempDir(prefix, std::filesystem::temp_directory_path()) {}

TempDir::TempDir(const std::string& prefix, const std::filesystem::path& parent) {
  std::string pattern = (parent / (prefix + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot create " + pattern);
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::file(const std::string& name) const { return (path_ / name).string(); }
