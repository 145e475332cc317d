// The registry-hive contract against the POSIX backend's hive: the
// local-machine hive as OpenRegistryHive gives it, its file in a fresh folder.

#include "platform/contract/RegistryHiveContract.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace {

using contract::RegistryHiveContract;
using contract::RegistryHiveImplementation;

class LocalMachineHiveFile : public contract::RegistryHiveStore {
 public:
  std::unique_ptr<platform::RegistryHive> Open() override {
    return platform::OpenRegistryHive(platform::RegistryRoot::LocalMachine);
  }

 private:
  TempDir dir_{"dc-hive-contract"};
  ScopedEnv env_{"DC_REGISTRY", dir_.file("registry.reg").c_str()};
};

INSTANTIATE_TEST_SUITE_P(Posix, RegistryHiveContract,
                         ::testing::Values(RegistryHiveImplementation{
                             "FileHive", [] { return std::make_unique<LocalMachineHiveFile>(); }, {}}),
                         contract::RegistryHiveImplementationName);

}  // namespace
