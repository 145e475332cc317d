#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// What the network layer says about this machine: its IPv4 addresses, the
// hardware (MAC) address behind an IPv4 address, its interfaces and the
// interface of its default route.

namespace platform {

// One network interface as the kernel lists it.
struct NetworkInterface {
  std::string name;
  std::vector<uint8_t> hardwareAddress;  // empty when it has none
  bool loopback = false;
};

class NetworkIdentity {
 public:
  NetworkIdentity() = default;
  virtual ~NetworkIdentity() = default;
  NetworkIdentity(const NetworkIdentity&) = delete;
  NetworkIdentity& operator=(const NetworkIdentity&) = delete;

  // The machine's own host name resolved for IPv4 stream addresses, as
  // dotted-decimal texts in the order the resolver gives them. Empty when the
  // name resolves to no IPv4 address. Raises std::system_error when the host
  // name cannot be read or the resolver fails for another reason.
  virtual std::vector<std::string> LocalIPv4Addresses() const = 0;

  // The hardware address that answers for the dotted-decimal IPv4 address:
  // that of the local interface holding it, otherwise the neighbour table's
  // entry for it. Empty when the text is no IPv4 address, is 0.0.0.0, or
  // nothing is known about it. A loopback interface gives its all-zero
  // address. Never raises.
  virtual std::vector<uint8_t> HardwareAddressOf(const std::string& ipv4) const = 0;

  // The machine's interfaces in the kernel's order (by interface index).
  // Empty when they cannot be listed. Never raises.
  virtual std::vector<NetworkInterface> Interfaces() const { return {}; }

  // The name of the interface that carries the IPv4 default route (the one of
  // lowest metric when there are several); "" when there is none or the
  // routing table cannot be read. Never raises.
  virtual std::string DefaultRouteInterface() const { return {}; }
};

// The interface of the default route in the text of a Linux IPv4 routing
// table as /proc/net/route shows it: the route that is up, with destination
// and mask 0, of lowest metric (the first of equal ones); "" when none.
std::string DefaultRouteInterfaceIn(const std::string& routeTable);

// The machine's network layer. Thread-safe.
std::unique_ptr<NetworkIdentity> NewNetworkIdentity();

}  // namespace platform
