#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/NetworkIdentity.h"

// The MAC address the collector reports to the server: that of the network
// adapter carrying the computer's first IPv4 address, as six upper-case
// hexadecimal pairs joined by "-" ("00-1A-2B-3C-4D-5E"), or "" when none is
// found. When that address gives none, as when the host name resolves to a
// loopback address (127.0.1.1 is the Debian default), the address of the
// interface chosen by IdentityInterfaceAddress stands in for it.
//
// The object keeps the address once found: a non-empty result is never looked
// up again during the object's life; an empty one is looked up again at the
// next call. One object per collector; not thread-safe.
class TMachineIdentity {
 public:
  // The machine's own network layer.
  TMachineIdentity();
  // A given network layer (tests); must not be null.
  explicit TMachineIdentity(std::unique_ptr<platform::NetworkIdentity> network);
  TMachineIdentity(const TMachineIdentity&) = delete;
  TMachineIdentity& operator=(const TMachineIdentity&) = delete;

  // The cached address, or MACAddressFromIP of the first local IPv4 address,
  // or when that is "" the address of the interface IdentityInterfaceAddress
  // picks. "" when the host name resolves to no IPv4 address. Raises
  // ENetworkError when the host-name lookup fails.
  std::string GetMACAddress();

  // The MAC address text of the adapter answering for the dotted-decimal IPv4
  // address; "" when the text does not convert, is 0.0.0.0, nothing answers,
  // or the first four bytes of the hardware address are zero (loopback).
  // Never raises.
  std::string MACAddressFromIP(const std::string& ipv4) const;

 private:
  std::unique_ptr<platform::NetworkIdentity> LNetwork;
  std::string LCache;
};

// Six bytes as "XX-XX-XX-XX-XX-XX"; "" when fewer than six are given or the
// first four are zero.
std::string FormatMACAddress(const std::vector<uint8_t>& bytes);

// The hardware address of the interface that stands for the machine: the
// interface named defaultRoute when it is listed, is not a loopback and has
// an address FormatMACAddress accepts; otherwise the first such interface of
// the list. Empty when there is none.
std::vector<uint8_t> IdentityInterfaceAddress(const std::vector<platform::NetworkInterface>& interfaces,
                                              const std::string& defaultRoute);
