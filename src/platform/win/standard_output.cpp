// Standard output writes for Windows, through the C runtime's descriptor of
// stdout, which is the console once the program has opened its own.
#include "platform/standard_output.h"

#include <io.h>

#include <cstdio>

namespace platform {

bool WriteStandardOutput(const char* data, std::size_t size) {
  // A text-mode descriptor turns line feeds into CR LF, as the stream did.
  const int fd = _fileno(stdout);
  if (fd < 0) return false;
  constexpr std::size_t kMaxPiece = 1u << 20;
  while (size > 0) {
    const unsigned piece = static_cast<unsigned>(size < kMaxPiece ? size : kMaxPiece);
    int n = _write(fd, data, piece);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace platform
