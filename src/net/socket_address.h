// Socket addresses in the system's layout, as accept and datagram receives
// give them: their family and port, and the compact form messages carry.
#pragma once

#include <cstdint>
#include <cstring>

#include "platform/address_family.h"
#include "tracker/connection.h"

namespace lattice {

// Room for an IPv4 or IPv6 socket address: the family and port sit at the
// same offsets on every system.
struct alignas(8) AddressStorage {
  std::uint8_t bytes[platform::kMaxAddressBytes] = {};
};

inline std::uint16_t AddressFamily(const void* address) {
  std::uint16_t family;
  std::memcpy(&family, address, sizeof family);
  return family;
}

// The port in host order; 0 for a family other than IPv4 and IPv6.
inline std::uint16_t AddressPort(const void* address) {
  std::uint16_t family = AddressFamily(address);
  if (family != platform::kFamilyInet && family != platform::kFamilyInet6) return 0;
  const auto* bytes = static_cast<const std::uint8_t*>(address);
  return static_cast<std::uint16_t>(bytes[2] << 8 | bytes[3]);
}

// Address bytes then port bytes, both already in network order in the socket
// address: IPv4 at offsets 4 and 2, IPv6 at offsets 8 and 2.
inline CompactAddress ToCompactAddress(const void* address) {
  const auto* bytes = static_cast<const std::uint8_t*>(address);
  const std::uint16_t family = AddressFamily(address);
  CompactAddress c;
  if (family == platform::kFamilyInet) {
    std::memcpy(c.bytes, bytes + 4, 4);
    std::memcpy(c.bytes + 4, bytes + 2, 2);
    c.size = 6;
  } else if (family == platform::kFamilyInet6) {
    std::memcpy(c.bytes, bytes + 8, 16);
    std::memcpy(c.bytes + 16, bytes + 2, 2);
    c.size = 18;
  }
  return c;
}

}  // namespace lattice
