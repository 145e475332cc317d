#include "Shared/Orvel_Shared/MachineIdentity.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <system_error>

#include "Shared/Orvel_Shared/OrvelExceptions.h"
#include "support/FakeNetworkIdentity.h"

namespace {

struct Identity {
  FakeNetworkIdentity* network;
  std::unique_ptr<TMachineIdentity> identity;
};

Identity MakeIdentity() {
  auto fake = std::make_unique<FakeNetworkIdentity>();
  FakeNetworkIdentity* raw = fake.get();
  return {raw, std::make_unique<TMachineIdentity>(std::move(fake))};
}

TEST(FormatMACAddressTest, SixBytesInUpperCaseHexJoinedByDashes) {
  struct Case {
    std::vector<uint8_t> bytes;
    const char* text;
  };
  const Case cases[] = {
      {{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}, "00-1A-2B-3C-4D-5E"},
      {{0x02, 0xfc, 0x00, 0x00, 0x00, 0x05, 0xaa, 0xbb}, "02-FC-00-00-00-05"},  // only six are used
      {{0x00, 0x00, 0x00, 0x00, 0x4d, 0x5e}, ""},                              // first four zero
      {{0, 0, 0, 0, 0, 0}, ""},
      {{0x00, 0x1a, 0x2b}, ""},
      {{}, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatMACAddress(c.bytes), c.text);
}

TEST(MachineIdentityTest, FirstAddressIsUsedAndAFoundAddressIsKept) {
  auto [network, identity] = MakeIdentity();
  network->addresses = {"192.0.2.7", "198.51.100.3"};
  network->hardware["192.0.2.7"] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
  network->hardware["198.51.100.3"] = {0x11, 0x11, 0x11, 0x11, 0x11, 0x11};
  EXPECT_EQ(identity->GetMACAddress(), "00-1A-2B-3C-4D-5E");
  network->hardware["192.0.2.7"] = {0x22, 0x22, 0x22, 0x22, 0x22, 0x22};
  EXPECT_EQ(identity->GetMACAddress(), "00-1A-2B-3C-4D-5E");
  EXPECT_EQ(network->lookups, 1);
  EXPECT_EQ(network->hardwareQueries, 1);
}

TEST(MachineIdentityTest, AnEmptyResultIsLookedUpAgain) {
  auto [network, identity] = MakeIdentity();
  network->addresses = {"127.0.0.1"};
  network->hardware["127.0.0.1"] = {0, 0, 0, 0, 0, 0};
  EXPECT_EQ(identity->GetMACAddress(), "");
  EXPECT_EQ(identity->GetMACAddress(), "");
  EXPECT_EQ(network->lookups, 2);
  // Once an address is found it stays.
  network->addresses = {"192.0.2.7"};
  network->hardware["192.0.2.7"] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
  EXPECT_EQ(identity->GetMACAddress(), "00-1A-2B-3C-4D-5E");
  EXPECT_EQ(identity->GetMACAddress(), "00-1A-2B-3C-4D-5E");
  EXPECT_EQ(network->lookups, 3);
}

TEST(MachineIdentityTest, NoIPv4AddressGivesTheEmptyTextOnEveryCall) {
  auto [network, identity] = MakeIdentity();
  EXPECT_EQ(identity->GetMACAddress(), "");
  EXPECT_EQ(identity->GetMACAddress(), "");
  EXPECT_EQ(network->hardwareQueries, 0);
}

const std::vector<uint8_t> kLoopbackZeros = {0, 0, 0, 0, 0, 0};
const std::vector<uint8_t> kEth0 = {0x52, 0x54, 0x00, 0x12, 0x34, 0x56};
const std::vector<uint8_t> kWlan0 = {0xa4, 0xc3, 0xf0, 0x85, 0x7e, 0x01};
const std::vector<uint8_t> kDocker0 = {0x02, 0x42, 0xac, 0x11, 0x00, 0x01};

platform::NetworkInterface Lo() { return {"lo", kLoopbackZeros, true}; }

TEST(IdentityInterfaceAddressTest, DefaultRouteFirstThenFirstInterfaceWithAHardwareAddress) {
  struct Case {
    const char* name;
    std::vector<platform::NetworkInterface> interfaces;
    std::string defaultRoute;
    std::vector<uint8_t> expected;
  };
  const Case cases[] = {
      {"wired machine", {Lo(), {"eth0", kEth0, false}}, "eth0", kEth0},
      {"bridge listed before the routed interface",
       {Lo(), {"docker0", kDocker0, false}, {"eth0", kEth0, false}}, "eth0", kEth0},
      {"routed through the second adapter", {Lo(), {"eth0", kEth0, false}, {"wlan0", kWlan0, false}}, "wlan0",
       kWlan0},
      {"no default route", {Lo(), {"docker0", kDocker0, false}, {"eth0", kEth0, false}}, "", kDocker0},
      {"routed through a tunnel without hardware address",
       {Lo(), {"eth0", kEth0, false}, {"tun0", {}, false}}, "tun0", kEth0},
      {"route names an interface that is gone", {Lo(), {"eth0", kEth0, false}}, "eth1", kEth0},
      {"interface with an all-zero address is skipped",
       {Lo(), {"dummy0", kLoopbackZeros, false}, {"eth0", kEth0, false}}, "", kEth0},
      {"route over loopback is not an identity", {Lo(), {"eth0", kEth0, false}}, "lo", kEth0},
      {"loopback only", {Lo()}, "", {}},
      {"no interfaces", {}, "eth0", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(IdentityInterfaceAddress(c.interfaces, c.defaultRoute), c.expected);
  }
}

TEST(MachineIdentityTest, AHostNameOnLoopbackUsesTheDefaultRouteInterface) {
  // Debian's /etc/hosts maps the host name to 127.0.1.1.
  auto [network, identity] = MakeIdentity();
  network->addresses = {"127.0.1.1"};
  network->hardware["127.0.1.1"] = kLoopbackZeros;
  network->interfaces = {Lo(), {"docker0", kDocker0, false}, {"enp3s0", kEth0, false}};
  network->defaultRoute = "enp3s0";
  EXPECT_EQ(identity->GetMACAddress(), "52-54-00-12-34-56");
  EXPECT_EQ(identity->GetMACAddress(), "52-54-00-12-34-56");
  EXPECT_EQ(network->lookups, 1);
  EXPECT_EQ(network->interfaceQueries, 1);
}

TEST(MachineIdentityTest, TheInterfacesAreConsultedOnlyWhenTheFirstAddressGivesNoMAC) {
  auto [network, identity] = MakeIdentity();
  network->interfaces = {Lo(), {"eth0", kEth0, false}};
  network->defaultRoute = "eth0";
  // An address of its own: the interfaces are not asked.
  network->addresses = {"192.0.2.7"};
  network->hardware["192.0.2.7"] = kWlan0;
  EXPECT_EQ(identity->GetMACAddress(), "A4-C3-F0-85-7E-01");
  EXPECT_EQ(network->interfaceQueries, 0);

  // A host name on an address nothing answers for (a stale hosts entry).
  auto [stale, staleIdentity] = MakeIdentity();
  stale->interfaces = network->interfaces;
  stale->defaultRoute = "eth0";
  stale->addresses = {"198.51.100.3"};
  EXPECT_EQ(staleIdentity->GetMACAddress(), "52-54-00-12-34-56");

  // No IPv4 address at all stays empty, without asking for the interfaces.
  auto [none, noneIdentity] = MakeIdentity();
  none->interfaces = network->interfaces;
  EXPECT_EQ(noneIdentity->GetMACAddress(), "");
  EXPECT_EQ(none->interfaceQueries, 0);

  // Loopback only: empty, and tried again at the next call.
  auto [lonely, lonelyIdentity] = MakeIdentity();
  lonely->addresses = {"127.0.1.1"};
  lonely->interfaces = {Lo()};
  EXPECT_EQ(lonelyIdentity->GetMACAddress(), "");
  EXPECT_EQ(lonelyIdentity->GetMACAddress(), "");
  EXPECT_EQ(lonely->interfaceQueries, 2);
}

TEST(MachineIdentityTest, AFailedLookupIsANetworkError) {
  auto [network, identity] = MakeIdentity();
  network->failLookup = true;
  EXPECT_THROW(identity->GetMACAddress(), ENetworkError);
}

// --- The machine's own network layer --------------------------------------

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
  std::replace(text.begin(), text.end(), ':', '-');
  return text;
}

TEST(MachineIdentityOnThisMachineTest, AddressesThatGiveNoMAC) {
  TMachineIdentity identity;
  for (const char* ip : {"127.0.0.1", "0.0.0.0", "not an address", "", "300.1.1.1"}) {
    SCOPED_TRACE(ip);
    EXPECT_EQ(identity.MACAddressFromIP(ip), "");
  }
}

TEST(MachineIdentityOnThisMachineTest, NeighbourTableEntriesGiveTheirAddress) {
  std::ifstream table("/proc/net/arp");
  if (!table) GTEST_SKIP() << "no neighbour table";
  TMachineIdentity identity;
  std::string line;
  std::getline(table, line);
  int checked = 0;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string ip, type, flags, hw;
    if (!(fields >> ip >> type >> flags >> hw) || std::stoul(flags, nullptr, 16) != 0x2) continue;
    SCOPED_TRACE(ip);
    EXPECT_EQ(identity.MACAddressFromIP(ip), FormatMACAddress([&] {
                std::vector<uint8_t> bytes;
                std::istringstream parts(hw);
                std::string part;
                while (std::getline(parts, part, ':')) bytes.push_back(static_cast<uint8_t>(std::stoul(part, nullptr, 16)));
                return bytes;
              }()));
    ++checked;
  }
  if (checked == 0) GTEST_SKIP() << "no complete neighbour entry";
}

TEST(MachineIdentityOnThisMachineTest, LocalAddressesGiveTheMACOfAnInterface) {
  // The machine's own addresses are the "/32 host LOCAL" entries of the
  // kernel's routing trie; their MAC must be one of the interfaces'.
  std::ifstream trie("/proc/net/fib_trie");
  if (!trie) GTEST_SKIP() << "no routing trie";
  std::set<std::string> interfaceMacs;
  for (const auto& entry : std::filesystem::directory_iterator("/sys/class/net")) {
    std::ifstream in(entry.path() / "address");
    std::string mac;
    if (in >> mac) interfaceMacs.insert(Upper(mac));
  }
  std::set<std::string> local;
  std::string line, previous;
  while (std::getline(trie, line)) {
    if (line.find("/32 host LOCAL") != std::string::npos) {
      const auto at = previous.find_last_of(' ');
      local.insert(previous.substr(at + 1));
    }
    previous = line;
  }
  TMachineIdentity identity;
  int checked = 0;
  for (const auto& ip : local) {
    if (ip.rfind("127.", 0) == 0) continue;
    SCOPED_TRACE(ip);
    const std::string mac = identity.MACAddressFromIP(ip);
    ASSERT_EQ(mac.size(), 17u);
    EXPECT_TRUE(interfaceMacs.count(mac)) << mac;
    ++checked;
  }
  if (checked == 0) GTEST_SKIP() << "no local address beside loopback";
}

// The MAC of an interface as the kernel shows it; "" when it has none.
std::string SysfsMAC(const std::string& interfaceName) {
  std::ifstream in("/sys/class/net/" + interfaceName + "/address");
  std::string mac;
  in >> mac;
  const std::string text = Upper(mac);
  return text == "00-00-00-00-00-00" ? "" : text;
}

TEST(MachineIdentityOnThisMachineTest, GetMACAddressAgreesWithTheFirstLocalAddressOrTheDefaultRoute) {
  auto network = platform::NewNetworkIdentity();
  const auto addresses = network->LocalIPv4Addresses();
  TMachineIdentity identity;
  const std::string own = addresses.empty() ? "" : identity.MACAddressFromIP(addresses.front());
  const std::string routed = network->DefaultRouteInterface();
  if (addresses.empty()) {
    EXPECT_EQ(identity.GetMACAddress(), "");
  } else if (!own.empty()) {
    EXPECT_EQ(identity.GetMACAddress(), own);
  } else if (!routed.empty() && !SysfsMAC(routed).empty()) {
    EXPECT_EQ(identity.GetMACAddress(), SysfsMAC(routed)) << "host name on " << addresses.front();
  } else {
    GTEST_SKIP() << "neither the host name's address nor a default route gives a MAC";
  }
}

TEST(MachineIdentityOnThisMachineTest, InterfacesMatchTheKernelsList) {
  auto network = platform::NewNetworkIdentity();
  const auto interfaces = network->Interfaces();
  ASSERT_FALSE(interfaces.empty());
  std::set<std::string> listed;
  for (const auto& i : interfaces) {
    SCOPED_TRACE(i.name);
    listed.insert(i.name);
    EXPECT_EQ(FormatMACAddress(i.hardwareAddress), SysfsMAC(i.name));
    EXPECT_EQ(i.loopback, i.name == "lo");
  }
  std::set<std::string> kernel;
  for (const auto& entry : std::filesystem::directory_iterator("/sys/class/net")) {
    kernel.insert(entry.path().filename().string());
  }
  EXPECT_EQ(listed, kernel);
}

}  // namespace
