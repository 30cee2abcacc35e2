// Address family values of Windows Sockets.
#include "platform/address_family.h"

#include <winsock2.h>
#include <ws2ipdef.h>

namespace platform {
static_assert(sizeof(SOCKADDR_IN6) == kMaxAddressBytes && sizeof(sockaddr_in) <= kMaxAddressBytes);
const std::uint16_t kFamilyInet = AF_INET;
const std::uint16_t kFamilyInet6 = AF_INET6;
}  // namespace platform
