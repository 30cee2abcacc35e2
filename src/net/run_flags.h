// Process-wide settings and requests shared by start-up, the loop and the
// accept threads.
#pragma once

#include <atomic>
#include <cstdint>

namespace lattice {

// Set to 1 by a stop request (signal or service control); read by the loop
// after every pass and by the accept threads after every accept.
extern std::atomic<std::int32_t> stopFlag;

// The "mtu" option; 0 means not set.
extern std::int32_t mtuSetting;

}  // namespace lattice
