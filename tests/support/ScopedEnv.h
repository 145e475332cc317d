#pragma once

#include <optional>
#include <string>

// Sets (or, with nullptr, removes) an environment variable for the life of the
// object and restores the earlier state afterwards. For tests only: the
// environment is process-wide, so tests using it must not run in parallel
// threads.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};
