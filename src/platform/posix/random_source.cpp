// Random bytes from the kernel's getrandom, for POSIX (Linux) builds.
#include "platform/random_source.h"

#include <sys/random.h>

#include <cerrno>

namespace platform {

bool FillRandomBytes(std::uint8_t* buffer, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t got = getrandom(buffer + done, size - done, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace platform
