// What the metrics endpoint asks of the system: the names of this build's
// platform and I/O backend, and the process's resident memory.
#pragma once

#include <cstdint>

namespace platform {

// "linux" or "windows".
extern const char kPlatformName[];
// The mechanism behind the completion port: "epoll" or "iocp".
extern const char kIoBackendName[];

// Bytes of the process's memory resident in RAM (the working set on
// Windows); 0 when the system does not tell.
std::uint64_t ResidentMemoryBytes();

}  // namespace platform
