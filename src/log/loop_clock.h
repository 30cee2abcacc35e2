// The loop clock: whole seconds since 1970, sampled once per event-loop pass.
#pragma once

#include <cstdint>

namespace lattice {

// Read from any thread (log lines), written only by the thread that runs the
// tracker. Relaxed atomics keep it a single aligned 64-bit load and store.
std::int64_t LoopClock();
void SetLoopClock(std::int64_t seconds);

// Samples the system clock into the loop clock and returns the new value.
std::int64_t RefreshLoopClock();

}  // namespace lattice
