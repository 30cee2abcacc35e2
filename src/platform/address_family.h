// Socket address family values, which differ between systems (IPv6 above all).
#pragma once

#include <cstdint>

namespace platform {
extern const std::uint16_t kFamilyInet;
extern const std::uint16_t kFamilyInet6;
}  // namespace platform
