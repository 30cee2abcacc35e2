// Reading a socket address: the family and port sit at the same offsets on
// every system; only the family values differ.
#pragma once

#include <cstdint>
#include <cstring>

#include "platform/address_family.h"

namespace lattice {

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

}  // namespace lattice
