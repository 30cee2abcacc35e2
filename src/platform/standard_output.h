// Unbuffered writes to the process's standard output.
#pragma once

#include <cstddef>

namespace platform {

// Writes all the bytes straight to the standard output descriptor, blocking
// while the reader is slow; false when the output is gone or refuses them.
// The C runtime's stream buffer is bypassed, so a write stuck here holds no
// stream lock and leaves no buffered bytes for the flush at process exit.
bool WriteStandardOutput(const char* data, std::size_t size);

}  // namespace platform
