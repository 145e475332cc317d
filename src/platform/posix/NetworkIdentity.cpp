#include "platform/NetworkIdentity.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <system_error>

namespace platform {
namespace {

struct AddrInfoDeleter {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
struct IfAddrsDeleter {
  void operator()(ifaddrs* list) const { freeifaddrs(list); }
};

std::vector<uint8_t> ParseHardwareAddress(const std::string& text) {
  std::vector<uint8_t> bytes;
  std::istringstream in(text);
  std::string part;
  while (std::getline(in, part, ':')) {
    if (part.empty() || part.size() > 2) return {};
    char* end = nullptr;
    const unsigned long value = std::strtoul(part.c_str(), &end, 16);
    if (*end != '\0') return {};
    bytes.push_back(static_cast<uint8_t>(value));
  }
  return bytes;
}

// The complete entry of the kernel's neighbour (ARP) table for the address.
std::vector<uint8_t> NeighbourEntry(const std::string& ipv4) {
  std::ifstream table("/proc/net/arp");
  std::string line;
  std::getline(table, line);  // column titles
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string ip, type, flags, hw;
    if (!(fields >> ip >> type >> flags >> hw)) continue;
    // 0x2: the entry is complete (the neighbour has answered).
    if (ip == ipv4 && (std::strtoul(flags.c_str(), nullptr, 16) & 0x2) != 0) return ParseHardwareAddress(hw);
  }
  return {};
}

class PosixNetworkIdentity final : public NetworkIdentity {
 public:
  std::vector<std::string> LocalIPv4Addresses() const override {
    char name[256] = {0};
    if (gethostname(name, sizeof name - 1) != 0) {
      throw std::system_error(errno, std::generic_category(), "gethostname");
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(name, nullptr, &hints, &found);
    std::unique_ptr<addrinfo, AddrInfoDeleter> list(found);
    if (rc == EAI_NONAME || rc == EAI_NODATA || rc == EAI_ADDRFAMILY) return {};
    if (rc != 0) {
      const int code = rc == EAI_SYSTEM ? errno : EHOSTUNREACH;
      throw std::system_error(code, std::generic_category(),
                              std::string("Host name lookup of ") + name + " failed: " + gai_strerror(rc));
    }
    std::vector<std::string> addresses;
    for (const addrinfo* a = list.get(); a != nullptr; a = a->ai_next) {
      if (a->ai_family != AF_INET || a->ai_addr == nullptr) continue;
      char text[INET_ADDRSTRLEN] = {0};
      const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
      if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) != nullptr) addresses.emplace_back(text);
    }
    return addresses;
  }

  std::vector<uint8_t> HardwareAddressOf(const std::string& ipv4) const override {
    in_addr target{};
    if (inet_pton(AF_INET, ipv4.c_str(), &target) != 1 || target.s_addr == 0) return {};
    ifaddrs* found = nullptr;
    if (getifaddrs(&found) == 0) {
      std::unique_ptr<ifaddrs, IfAddrsDeleter> list(found);
      std::string interfaceName;
      for (const ifaddrs* i = list.get(); i != nullptr && interfaceName.empty(); i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
        if (reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr == target.s_addr) {
          interfaceName = i->ifa_name;
        }
      }
      if (!interfaceName.empty()) {
        for (const ifaddrs* i = list.get(); i != nullptr; i = i->ifa_next) {
          if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_PACKET || interfaceName != i->ifa_name) continue;
          const auto* link = reinterpret_cast<const sockaddr_ll*>(i->ifa_addr);
          const size_t length = std::min<size_t>(link->sll_halen, sizeof link->sll_addr);
          std::vector<uint8_t> bytes(link->sll_addr, link->sll_addr + length);
          // A loopback interface has no hardware address; it reads as zeros.
          if (bytes.empty()) bytes.assign(6, 0);
          return bytes;
        }
        return std::vector<uint8_t>(6, 0);
      }
    }
    return NeighbourEntry(ipv4);
  }

  std::vector<NetworkInterface> Interfaces() const override {
    std::vector<NetworkInterface> interfaces;
    ifaddrs* found = nullptr;
    if (getifaddrs(&found) != 0) return interfaces;
    std::unique_ptr<ifaddrs, IfAddrsDeleter> list(found);
    // Every interface has exactly one link-layer entry, listed by index.
    for (const ifaddrs* i = list.get(); i != nullptr; i = i->ifa_next) {
      if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_PACKET) continue;
      const auto* link = reinterpret_cast<const sockaddr_ll*>(i->ifa_addr);
      const size_t length = std::min<size_t>(link->sll_halen, sizeof link->sll_addr);
      interfaces.push_back({i->ifa_name, std::vector<uint8_t>(link->sll_addr, link->sll_addr + length),
                            (i->ifa_flags & IFF_LOOPBACK) != 0});
    }
    return interfaces;
  }

  std::string DefaultRouteInterface() const override {
    std::ifstream table("/proc/net/route");
    std::stringstream text;
    text << table.rdbuf();
    return DefaultRouteInterfaceIn(text.str());
  }
};

}  // namespace

std::unique_ptr<NetworkIdentity> NewNetworkIdentity() { return std::make_unique<PosixNetworkIdentity>(); }

}  // namespace platform
