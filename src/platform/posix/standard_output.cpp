// Standard output writes for POSIX systems.
#include "platform/standard_output.h"

#include <unistd.h>

#include <cerrno>

namespace platform {

bool WriteStandardOutput(const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = write(STDOUT_FILENO, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace platform
