#include "platform/NetworkIdentity.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <mutex>
#include <optional>

#include "platform/win32/Win32Text.h"

namespace platform {
namespace {

// The IP helper library is loaded when first asked for, so that a program
// that never needs a hardware address does not load it.
using SendArpFunction = DWORD(WINAPI*)(ULONG destination, ULONG source, void* macAddress, ULONG* length);

using GetAdaptersAddressesFunction = ULONG(WINAPI*)(ULONG family, ULONG flags, void* reserved,
                                                    IP_ADAPTER_ADDRESSES* addresses, ULONG* size);
using GetBestInterfaceFunction = DWORD(WINAPI*)(IPAddr destination, DWORD* index);

template <class F>
F IpHelperEntry(const char* name) {
  static HMODULE library = LoadLibraryExW(L"iphlpapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (library == nullptr) return nullptr;
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

SendArpFunction SendArpEntry() {
  static SendArpFunction entry = IpHelperEntry<SendArpFunction>("SendARP");
  return entry;
}

// The IPv4 adapters of the machine, in the system's order.
std::vector<unsigned char> AdapterList() {
  static GetAdaptersAddressesFunction entry = IpHelperEntry<GetAdaptersAddressesFunction>("GetAdaptersAddresses");
  if (entry == nullptr) return {};
  std::vector<unsigned char> buffer(16384);
  for (int attempt = 0; attempt < 4; ++attempt) {
    ULONG size = static_cast<ULONG>(buffer.size());
    const ULONG result = entry(AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
                               nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    if (result == ERROR_SUCCESS) return buffer;
    if (result != ERROR_BUFFER_OVERFLOW) return {};
    buffer.resize(size);
  }
  return {};
}

template <class F>
void ForEachAdapter(const std::vector<unsigned char>& list, F visit) {
  if (list.empty()) return;
  for (auto* adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(list.data()); adapter != nullptr;
       adapter = adapter->Next)
    visit(*adapter);
}

NetworkInterface InterfaceOf(const IP_ADAPTER_ADDRESSES& adapter) {
  NetworkInterface result;
  result.name = win32::Narrow(adapter.FriendlyName != nullptr ? adapter.FriendlyName : L"");
  result.hardwareAddress.assign(adapter.PhysicalAddress, adapter.PhysicalAddress + adapter.PhysicalAddressLength);
  result.loopback = adapter.IfType == IF_TYPE_SOFTWARE_LOOPBACK;
  return result;
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
    std::optional<std::vector<uint8_t>> local;
    ForEachAdapter(AdapterList(), [&](const IP_ADAPTER_ADDRESSES& adapter) {
      for (auto* unicast = adapter.FirstUnicastAddress; unicast != nullptr && !local; unicast = unicast->Next) {
        const auto* held = reinterpret_cast<const sockaddr_in*>(unicast->Address.lpSockaddr);
        if (held->sin_family == AF_INET && held->sin_addr.s_addr == address.s_addr) {
          local = InterfaceOf(adapter).hardwareAddress;
          if (adapter.IfType == IF_TYPE_SOFTWARE_LOOPBACK) local = std::vector<uint8_t>(6, 0);
        }
      }
    });
    if (local) return *local;
    const SendArpFunction sendArp = SendArpEntry();
    if (sendArp == nullptr) return {};
    ULONG mac[2] = {};
    ULONG length = 6;
    if (sendArp(address.s_addr, 0, mac, &length) != NO_ERROR || length == 0) return {};
    const auto* bytes = reinterpret_cast<const uint8_t*>(mac);
    return std::vector<uint8_t>(bytes, bytes + std::min<ULONG>(length, 8));
  }

  std::vector<NetworkInterface> Interfaces() const override {
    std::vector<NetworkInterface> interfaces;
    ForEachAdapter(AdapterList(), [&](const IP_ADAPTER_ADDRESSES& adapter) {
      interfaces.push_back(InterfaceOf(adapter));
    });
    return interfaces;
  }

  std::string DefaultRouteInterface() const override {
    static GetBestInterfaceFunction entry = IpHelperEntry<GetBestInterfaceFunction>("GetBestInterface");
    DWORD index = 0;
    // The interface the system would send to an address outside every local
    // network through: the one of the default route.
    if (entry == nullptr || entry(htonl(0x08080808), &index) != NO_ERROR) return {};
    std::string name;
    ForEachAdapter(AdapterList(), [&](const IP_ADAPTER_ADDRESSES& adapter) {
      if (adapter.IfIndex == index) name = InterfaceOf(adapter).name;
    });
    return name;
  }
};

}  // namespace

std::unique_ptr<NetworkIdentity> NewNetworkIdentity() { return std::make_unique<Win32NetworkIdentity>(); }

}  // namespace platform
