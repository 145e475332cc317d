// The default route read from the kernel's IPv4 routing table.

#include "platform/NetworkIdentity.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

const char kTitles[] =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

TEST(DefaultRouteInterfaceIn, PicksTheUpDefaultRouteOfLowestMetric) {
  struct Case {
    const char* name;
    std::string rows;
    const char* expected;
  };
  const Case cases[] = {
      {"one default route",
       "eth0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n"
       "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n",
       "eth0"},
      {"the default route listed after a subnet route",
       "docker0\t000011AC\t00000000\t0001\t0\t0\t0\t0000FFFF\t0\t0\t0\n"
       "enp3s0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n",
       "enp3s0"},
      {"wired and wireless: the lower metric wins",
       "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
       "eth0\t00000000\t0100000A\t0003\t0\t0\t100\t00000000\t0\t0\t0\n",
       "eth0"},
      {"equal metrics: the first",
       "eth1\t00000000\t0100000A\t0003\t0\t0\t0\t00000000\t0\t0\t0\n"
       "eth0\t00000000\t0101A8C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n",
       "eth1"},
      {"a default route that is down", "eth0\t00000000\t010200C0\t0002\t0\t0\t0\t00000000\t0\t0\t0\n", ""},
      {"a host route to 0.0.0.0 is no default route",
       "eth0\t00000000\t00000000\t0005\t0\t0\t0\tFFFFFFFF\t0\t0\t0\n", ""},
      {"no default route", "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n", ""},
      {"a truncated row", "eth0\t00000000\t010200C0\t0003\n", ""},
      {"titles only", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(platform::DefaultRouteInterfaceIn(kTitles + c.rows), c.expected);
  }
  EXPECT_EQ(platform::DefaultRouteInterfaceIn(""), "");
}

TEST(DefaultRouteInterfaceIn, ThisMachinesDefaultRouteIsOneOfItsInterfaces) {
  std::ifstream table("/proc/net/route");
  std::stringstream text;
  text << table.rdbuf();
  const std::string name = platform::NewNetworkIdentity()->DefaultRouteInterface();
  EXPECT_EQ(name, platform::DefaultRouteInterfaceIn(text.str()));
  if (name.empty()) GTEST_SKIP() << "no default route";
  bool listed = false;
  for (const auto& i : platform::NewNetworkIdentity()->Interfaces()) listed = listed || i.name == name;
  EXPECT_TRUE(listed) << name;
}

}  // namespace
