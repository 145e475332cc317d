#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/NetworkIdentity.h"

// A network layer whose answers the test sets, keeping the interface's rules:
// LocalIPv4Addresses raises std::system_error when the lookup fails; a text
// that is no dotted-decimal IPv4 address, or is 0.0.0.0, has no hardware
// address; nothing else raises. It counts the queries. Set the answers before
// the code under test runs; the queries may then come from any thread.
class FakeNetworkIdentity : public platform::NetworkIdentity {
 public:
  // A machine whose host name resolves to kWiredAddress, held by its wired
  // adapter eth0 (kWiredHardwareAddress), which carries the default route;
  // beside it the loopback interface.
  static std::unique_ptr<FakeNetworkIdentity> WiredMachine();
  static const char kWiredAddress[];
  static const std::vector<std::uint8_t> kWiredHardwareAddress;

  // The host name's IPv4 addresses, in the resolver's order.
  std::vector<std::string> addresses;
  // The hardware address that answers for an IPv4 address: a local
  // interface's, or the neighbour table's entry.
  std::map<std::string, std::vector<std::uint8_t>> hardware;
  std::vector<platform::NetworkInterface> interfaces;
  std::string defaultRoute;
  // The host-name lookup fails as a resolver that cannot be reached does.
  bool failLookup = false;

  // How often each was asked (LocalIPv4Addresses, HardwareAddressOf, Interfaces).
  mutable int lookups = 0;
  mutable int hardwareQueries = 0;
  mutable int interfaceQueries = 0;

  std::vector<std::string> LocalIPv4Addresses() const override;
  std::vector<std::uint8_t> HardwareAddressOf(const std::string& ipv4) const override;
  std::vector<platform::NetworkInterface> Interfaces() const override;
  std::string DefaultRouteInterface() const override;

 private:
  mutable std::mutex mutex_;
};
