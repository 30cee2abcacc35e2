// The host name on POSIX systems.
#include "platform/host_name.h"

#include <unistd.h>

namespace platform {

std::string HostName() {
  char name[256] = {};
  // A name that does not fit may come back without its terminator.
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

}  // namespace platform
