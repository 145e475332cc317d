#include "support/FakeNetworkIdentity.h"

#include <cerrno>
#include <system_error>

namespace {

// Four decimal numbers of at most 255, without signs, blanks or leading
// zeros, joined by dots: the form the system's own parser accepts.
bool IsIPv4Text(const std::string& text) {
  int parts = 0;
  std::size_t at = 0;
  while (true) {
    std::size_t end = at;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    const std::size_t length = end - at;
    if (length == 0 || length > 3 || (length > 1 && text[at] == '0')) return false;
    if (std::stoi(text.substr(at, length)) > 255) return false;
    ++parts;
    if (end == text.size()) return parts == 4;
    if (text[end] != '.' || parts == 4) return false;
    at = end + 1;
  }
}

}  // namespace

const char FakeNetworkIdentity::kWiredAddress[] = "192.0.2.7";
const std::vector<std::uint8_t> FakeNetworkIdentity::kWiredHardwareAddress = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};

std::unique_ptr<FakeNetworkIdentity> FakeNetworkIdentity::WiredMachine() {
  auto network = std::make_unique<FakeNetworkIdentity>();
  network->addresses = {kWiredAddress};
  network->hardware[kWiredAddress] = kWiredHardwareAddress;
  network->hardware["127.0.0.1"] = std::vector<std::uint8_t>(6, 0);
  network->interfaces = {{"lo", std::vector<std::uint8_t>(6, 0), true}, {"eth0", kWiredHardwareAddress, false}};
  network->defaultRoute = "eth0";
  return network;
}

std::vector<std::string> FakeNetworkIdentity::LocalIPv4Addresses() const {
  {
    std::lock_guard lock(mutex_);
    ++lookups;
  }
  if (failLookup) throw std::system_error(EHOSTUNREACH, std::generic_category(), "resolver down");
  return addresses;
}

std::vector<std::uint8_t> FakeNetworkIdentity::HardwareAddressOf(const std::string& ipv4) const {
  {
    std::lock_guard lock(mutex_);
    ++hardwareQueries;
  }
  if (!IsIPv4Text(ipv4) || ipv4 == "0.0.0.0") return {};
  auto found = hardware.find(ipv4);
  return found == hardware.end() ? std::vector<std::uint8_t>{} : found->second;
}

std::vector<platform::NetworkInterface> FakeNetworkIdentity::Interfaces() const {
  {
    std::lock_guard lock(mutex_);
    ++interfaceQueries;
  }
  return interfaces;
}

std::string FakeNetworkIdentity::DefaultRouteInterface() const { return defaultRoute; }
