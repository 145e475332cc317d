// The registry-hive contract against the tests' in-memory hive, so that it
// cannot drift from the real ones.

#include "platform/contract/RegistryHiveContract.h"
#include "support/MemoryRegistryHive.h"

namespace {

using contract::RegistryHiveContract;
using contract::RegistryHiveImplementation;

class MemoryHiveStore : public contract::RegistryHiveStore {
 public:
  std::unique_ptr<platform::RegistryHive> Open() override { return hive_.Share(); }

 private:
  MemoryRegistryHive hive_;
};

INSTANTIATE_TEST_SUITE_P(Fake, RegistryHiveContract,
                         ::testing::Values(RegistryHiveImplementation{
                             "MemoryHive", [] { return std::make_unique<MemoryHiveStore>(); }, {}}),
                         contract::RegistryHiveImplementationName);

}  // namespace
