#pragma once

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/Registry.h"
#include "platform/contract/SkippedCases.h"

// The contract of platform::RegistryHive as one value-parameterised suite.
// Every implementation (each backend's hive, the in-memory hive of the tests)
// instantiates it with a RegistryHiveImplementation, e.g.
//   INSTANTIATE_TEST_SUITE_P(File, RegistryHiveContract,
//                            ::testing::Values(RegistryHiveImplementation{"FileHive", ...}),
//                            RegistryHiveImplementationName);
// The cases themselves are in RegistryHiveContract.cpp.

namespace contract {

// One hive of an implementation, fresh and empty, for one test.
class RegistryHiveStore {
 public:
  RegistryHiveStore() = default;
  RegistryHiveStore(const RegistryHiveStore&) = delete;
  RegistryHiveStore& operator=(const RegistryHiveStore&) = delete;
  virtual ~RegistryHiveStore() = default;

  // A handle on this store's hive; every handle is on the same hive, as two
  // opens of the same stored hive are.
  virtual std::unique_ptr<platform::RegistryHive> Open() = 0;
};

struct RegistryHiveImplementation {
  std::string name;  // a test-name part: letters and digits only
  std::function<std::unique_ptr<RegistryHiveStore>()> newStore;
  SkippedCases skipped;  // cases its system keeps from holding, with why
};

std::string RegistryHiveImplementationName(const ::testing::TestParamInfo<RegistryHiveImplementation>& info);
// Shows the implementation by its name in the test list.
inline void PrintTo(const RegistryHiveImplementation& implementation, std::ostream* out) { *out << implementation.name; }

class RegistryHiveContract : public ::testing::TestWithParam<RegistryHiveImplementation> {
 protected:
  void SetUp() override {
    if (SkipIfListed(GetParam().skipped)) return;
    store_ = GetParam().newStore();
    hive_ = store_->Open();
  }

  platform::RegistryHive& Hive() { return *hive_; }
  std::unique_ptr<platform::RegistryHive> OpenAgain() { return store_->Open(); }

 private:
  std::unique_ptr<RegistryHiveStore> store_;
  std::unique_ptr<platform::RegistryHive> hive_;
};

// Values of every kind a hive must keep byte for byte, by name, in the order
// FillWithEveryKind writes them into its key kEveryKindKey.
extern const char kEveryKindKey[];
std::vector<std::pair<std::string, platform::RegistryValue>> EveryKindOfValue();
// Creates kEveryKindKey (and two more keys, one of them empty) and writes
// EveryKindOfValue into it.
void FillWithEveryKind(platform::RegistryHive& hive);
// Every key of the hive with its values, one line each ("[path]" for a key,
// "path|name|type|hex" for a value), walked in listing order: equal dumps mean
// equal hives.
std::vector<std::string> Dump(platform::RegistryHive& hive);

}  // namespace contract
