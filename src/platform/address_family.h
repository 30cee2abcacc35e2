// Socket address family values, which differ between systems (IPv6 above all).
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {
extern const std::uint16_t kFamilyInet;
extern const std::uint16_t kFamilyInet6;
// The size of an IPv6 socket address, the largest the tracker takes, on
// every system.
inline constexpr std::size_t kMaxAddressBytes = 28;
}  // namespace platform
