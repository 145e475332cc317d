#include "support/ScopedRegistry.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

ScopedRegistry::ScopedRegistry() : dir_("dc-registry"), path_(dir_.file("registry.reg")) {
  env_ = std::make_unique<ScopedEnv>("DC_REGISTRY", path_.c_str());
}

ScopedRegistry::ScopedRegistry(const std::string& regText) : ScopedRegistry() { Write(regText); }

ScopedRegistry::~ScopedRegistry() = default;

void ScopedRegistry::Write(const std::string& regText) const {
  std::ofstream out(path_, std::ios::binary | std::ios::trunc);
  out << regText;
  if (!out) throw std::runtime_error("cannot write " + path_);
}

std::string ScopedRegistry::Read() const {
  std::ifstream in(path_, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
