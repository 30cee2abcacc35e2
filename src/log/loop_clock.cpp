#include "log/loop_clock.h"

#include <atomic>
#include <ctime>

namespace lattice {
namespace {
std::atomic<std::int64_t> loopClock{0};
}

std::int64_t LoopClock() { return loopClock.load(std::memory_order_relaxed); }

void SetLoopClock(std::int64_t seconds) { loopClock.store(seconds, std::memory_order_relaxed); }

std::int64_t RefreshLoopClock() {
  std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
  SetLoopClock(now);
  return now;
}

}  // namespace lattice
