// The network-identity contract against the tests' fake network layer.

#include "platform/contract/NetworkIdentityContract.h"
#include "support/FakeNetworkIdentity.h"

namespace {

using contract::NetworkIdentityContract;
using contract::NetworkIdentityImplementation;

INSTANTIATE_TEST_SUITE_P(Fake, NetworkIdentityContract,
                         ::testing::Values(NetworkIdentityImplementation{
                             "FakeWiredMachine",
                             []() -> std::unique_ptr<platform::NetworkIdentity> {
                               return FakeNetworkIdentity::WiredMachine();
                             },
                             {}}),
                         contract::NetworkIdentityImplementationName);

}  // namespace
