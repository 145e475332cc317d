#include "platform/NetworkIdentity.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>

#include "platform/win32/Win32Text.h"

namespace platform {
namespace {

// The IP helper library is loaded when first asked for, so that a program
// that never needs a hardware address does not load it.
using SendArpFunction = DWORD(WINAPI*)(ULONG destination, ULONG source, void* macAddress, ULONG* length);

SendArpFunction SendArpEntry() {
  static SendArpFunction entry = [] {
    HMODULE library = LoadLibraryExW(L"iphlpapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (library == nullptr) return SendArpFunction{};
    return reinterpret_cast<SendArpFunction>(reinterpret_cast<void*>(GetProcAddress(library, "SendARP")));
  }();
  return entry;
}

void StartWinsock() {
  static std::once_flag started;
  std::call_once(started, [] {
    WSADATA data{};
    WSAStartup(MAKEWORD(2, 2), &data);
  });
}

class Win32NetworkIdentity : public NetworkIdentity {
 public:
  std::vector<std::string> LocalIPv4Addresses() const override {
    StartWinsock();
    char name[256] = {};
    if (gethostname(name, sizeof name) != 0)
      throw win32::SystemError(static_cast<DWORD>(WSAGetLastError()), "Cannot read the host name");
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int result = getaddrinfo(name, nullptr, &hints, &found);
    if (result == WSAHOST_NOT_FOUND || result == WSANO_DATA) return {};
    if (result != 0) throw win32::SystemError(static_cast<DWORD>(result), std::string("Cannot resolve ") + name);
    std::vector<std::string> addresses;
    for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
      char text[INET_ADDRSTRLEN] = {};
      const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
      if (inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) != nullptr) addresses.emplace_back(text);
    }
    freeaddrinfo(found);
    return addresses;
  }

  std::vector<uint8_t> HardwareAddressOf(const std::string& ipv4) const override {
    in_addr address{};
    if (inet_pton(AF_INET, ipv4.c_str(), &address) != 1 || address.s_addr == 0) return {};
    if ((ntohl(address.s_addr) >> 24) == 127) return std::vector<uint8_t>(6, 0);
    const SendArpFunction sendArp = SendArpEntry();
    if (sendArp == nullptr) return {};
    ULONG mac[2] = {};
    ULONG length = 6;
    if (sendArp(address.s_addr, 0, mac, &length) != NO_ERROR || length == 0) return {};
    const auto* bytes = reinterpret_cast<const uint8_t*>(mac);
    return std::vector<uint8_t>(bytes, bytes + std::min<ULONG>(length, 8));
  }
};

}  // namespace

std::unique_ptr<NetworkIdentity> NewNetworkIdentity() { return std::make_unique<Win32NetworkIdentity>(); }

}  // namespace platform
