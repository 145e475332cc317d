#pragma once

#include <map>
#include <string>

#include <gtest/gtest.h>

namespace contract {

// The cases of a contract suite that cannot hold for one implementation for a
// reason outside the code under test (a limit of the system it runs on), by
// case name ("ANewHiveIsEmpty"), each with that reason. They are skipped with
// the reason shown, never left out silently.
using SkippedCases = std::map<std::string, std::string>;

// Skips the running case, printing its reason, when `skipped` names it; true
// when it did (the caller's SetUp then returns at once).
inline bool SkipIfListed(const SkippedCases& skipped) {
  std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  name = name.substr(0, name.find('/'));
  const auto found = skipped.find(name);
  if (found == skipped.end()) return false;
  [&] { GTEST_SKIP() << found->second; }();
  return true;
}

}  // namespace contract
