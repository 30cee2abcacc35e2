// Process figures from the process status API on Windows.
#include "platform/process_metrics.h"

#include <windows.h>

// After windows.h, whose types it uses.
#include <psapi.h>

namespace platform {

const char kPlatformName[] = "windows";

std::uint64_t ResidentMemoryBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
  return static_cast<std::uint64_t>(counters.WorkingSetSize);
}

std::uint64_t AllocatedMemoryBytes() {
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                            sizeof counters))
    return 0;
  return static_cast<std::uint64_t>(counters.PrivateUsage);
}

}  // namespace platform
