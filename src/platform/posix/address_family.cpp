// Address family values of POSIX sockets.
#include "platform/address_family.h"

#include <sys/socket.h>

namespace platform {
const std::uint16_t kFamilyInet = AF_INET;
const std::uint16_t kFamilyInet6 = AF_INET6;
}  // namespace platform
