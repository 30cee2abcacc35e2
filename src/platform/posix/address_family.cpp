// Address family values of POSIX sockets.
#include "platform/address_family.h"

#include <netinet/in.h>
#include <sys/socket.h>

namespace platform {
static_assert(sizeof(sockaddr_in6) == kMaxAddressBytes && sizeof(sockaddr_in) <= kMaxAddressBytes);
const std::uint16_t kFamilyInet = AF_INET;
const std::uint16_t kFamilyInet6 = AF_INET6;
}  // namespace platform
