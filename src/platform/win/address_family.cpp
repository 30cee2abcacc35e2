// Address family values of Windows Sockets.
#include "platform/address_family.h"

#include <winsock2.h>

namespace platform {
const std::uint16_t kFamilyInet = AF_INET;
const std::uint16_t kFamilyInet6 = AF_INET6;
}  // namespace platform
