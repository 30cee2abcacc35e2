// What the metrics endpoint asks of the system: the names of this build's
// platform, and the process's memory.
#pragma once

#include <cstdint>

namespace platform {

// "linux" or "windows".
extern const char kPlatformName[];

// Bytes of the process's memory resident in RAM (the working set on
// Windows); 0 when the system does not tell.
std::uint64_t ResidentMemoryBytes();

// Bytes the process has allocated, touched or not: the C library's heap in
// use on Linux, the private (committed) bytes on Windows, which is what counts
// against the system's commit limit there. 0 when the system does not tell.
std::uint64_t AllocatedMemoryBytes();

}  // namespace platform
