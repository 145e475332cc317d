#include "platform/contract/NetworkIdentityContract.h"

#include <cstdint>
#include <vector>

namespace contract {

std::string NetworkIdentityImplementationName(const ::testing::TestParamInfo<NetworkIdentityImplementation>& info) {
  return info.param.name;
}

namespace {

TEST_P(NetworkIdentityContract, TextsThatAreNoUsableAddressHaveNoHardwareAddress) {
  auto network = GetParam().open();
  for (const char* text : {"", "0.0.0.0", "not an address", "300.1.1.1", "1.2.3", "1.2.3.4.5", " 127.0.0.1",
                           "127.0.0.1 ", "127.0.0.01", "::1", "-1.0.0.1"}) {
    SCOPED_TRACE(text);
    EXPECT_TRUE(network->HardwareAddressOf(text).empty());
  }
}

TEST_P(NetworkIdentityContract, TheLoopbackAddressGivesAllZeros) {
  auto network = GetParam().open();
  EXPECT_EQ(network->HardwareAddressOf("127.0.0.1"), std::vector<std::uint8_t>(6, 0));
  bool loopback = false;
  for (const platform::NetworkInterface& i : network->Interfaces()) loopback = loopback || i.loopback;
  EXPECT_TRUE(loopback);
}

TEST_P(NetworkIdentityContract, TheDefaultRouteIsOneOfTheInterfacesOrNone) {
  auto network = GetParam().open();
  const std::string routed = network->DefaultRouteInterface();
  if (routed.empty()) return;
  bool listed = false;
  for (const platform::NetworkInterface& i : network->Interfaces()) listed = listed || i.name == routed;
  EXPECT_TRUE(listed) << routed;
}

TEST_P(NetworkIdentityContract, LocalAddressesAreDottedDecimalTexts) {
  auto network = GetParam().open();
  for (const std::string& address : network->LocalIPv4Addresses()) {
    SCOPED_TRACE(address);
    int dots = 0;
    for (char c : address) {
      if (c == '.') ++dots;
      EXPECT_TRUE(c == '.' || (c >= '0' && c <= '9'));
    }
    EXPECT_EQ(dots, 3);
    EXPECT_NE(address, "0.0.0.0");
  }
}

}  // namespace

}  // namespace contract
