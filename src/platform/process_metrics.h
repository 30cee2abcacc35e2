// What the metrics endpoint asks of the system: the names of this build's
// platform, and the process's memory, CPU time and descriptors.
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

// CPU time the process has used, user and system together, in nanoseconds;
// 0 when the system does not tell.
std::uint64_t CpuNanoseconds();

// Descriptors the process has open (handles on Windows); -1 when the system
// does not tell.
std::int64_t OpenDescriptors();

// The most descriptors the process may open: the soft RLIMIT_NOFILE on
// Linux; on Windows, which has no such setting, the kernel's ceiling of
// handles per process. 0 when the system does not tell.
std::uint64_t MaxDescriptors();

}  // namespace platform
