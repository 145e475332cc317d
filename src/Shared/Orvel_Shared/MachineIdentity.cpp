#include "Shared/Orvel_Shared/MachineIdentity.h"

#include <algorithm>
#include <system_error>

#include "Shared/Orvel_Shared/OrvelExceptions.h"

TMachineIdentity::TMachineIdentity() : TMachineIdentity(platform::NewNetworkIdentity()) {}

TMachineIdentity::TMachineIdentity(std::unique_ptr<platform::NetworkIdentity> network)
    : LNetwork(std::move(network)) {}

std::string TMachineIdentity::GetMACAddress() {
  if (!LCache.empty()) return LCache;
  std::vector<std::string> addresses;
  try {
    addresses = LNetwork->LocalIPv4Addresses();
  } catch (const std::system_error& e) {
    throw ENetworkError(e.what());
  }
  if (addresses.empty()) return "";
  LCache = MACAddressFromIP(addresses.front());
  if (LCache.empty()) {
    LCache = FormatMACAddress(IdentityInterfaceAddress(LNetwork->Interfaces(), LNetwork->DefaultRouteInterface()));
  }
  return LCache;
}

std::string TMachineIdentity::MACAddressFromIP(const std::string& ipv4) const {
  return FormatMACAddress(LNetwork->HardwareAddressOf(ipv4));
}

std::string FormatMACAddress(const std::vector<uint8_t>& bytes) {
  if (bytes.size() < 6 || (bytes[0] | bytes[1] | bytes[2] | bytes[3]) == 0) return "";
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 0; i < 6; ++i) {
    if (i > 0) text += '-';
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 0x0F];
  }
  return text;
}

std::vector<uint8_t> IdentityInterfaceAddress(const std::vector<platform::NetworkInterface>& interfaces,
                                              const std::string& defaultRoute) {
  const auto usable = [](const platform::NetworkInterface& i) {
    return !i.loopback && !FormatMACAddress(i.hardwareAddress).empty();
  };
  const auto routed = std::find_if(interfaces.begin(), interfaces.end(), [&](const platform::NetworkInterface& i) {
    return !defaultRoute.empty() && i.name == defaultRoute && usable(i);
  });
  if (routed != interfaces.end()) return routed->hardwareAddress;
  const auto first = std::find_if(interfaces.begin(), interfaces.end(), usable);
  return first != interfaces.end() ? first->hardwareAddress : std::vector<uint8_t>{};
}
