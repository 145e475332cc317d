#pragma once

#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "platform/NetworkIdentity.h"
#include "platform/contract/SkippedCases.h"

// The contract of platform::NetworkIdentity as one value-parameterised suite,
// run against each backend's network layer and the tests' fake, so that the
// fake answers as the real one does. Only what holds on any machine is
// checked. The cases are in NetworkIdentityContract.cpp.

namespace contract {

struct NetworkIdentityImplementation {
  std::string name;  // a test-name part: letters and digits only
  // A network layer of a machine with a loopback interface holding 127.0.0.1.
  std::function<std::unique_ptr<platform::NetworkIdentity>()> open;
  SkippedCases skipped;  // cases its system keeps from holding, with why
};

std::string NetworkIdentityImplementationName(const ::testing::TestParamInfo<NetworkIdentityImplementation>& info);
// Shows the implementation by its name in the test list.
inline void PrintTo(const NetworkIdentityImplementation& implementation, std::ostream* out) { *out << implementation.name; }

class NetworkIdentityContract : public ::testing::TestWithParam<NetworkIdentityImplementation> {
 protected:
  void SetUp() override { SkipIfListed(GetParam().skipped); }
};

}  // namespace contract
