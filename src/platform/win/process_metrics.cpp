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

std::uint64_t CpuNanoseconds() {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  // Both in units of 100 ns.
  const auto ticks = [](const FILETIME& t) {
    return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  return (ticks(kernel) + ticks(user)) * 100u;
}

std::int64_t OpenDescriptors() {
  DWORD handles = 0;
  // A running tracker holds handles (its sockets, its completion port), so
  // none means they were not counted, as under Wine, which answers 0.
  if (!GetProcessHandleCount(GetCurrentProcess(), &handles) || handles == 0) return -1;
  return static_cast<std::int64_t>(handles);
}

std::uint64_t MaxDescriptors() {
  // Windows has no limit to set or read: a process's handle table ends at
  // 2^24 entries, which is the one bound a handle count can reach.
  return std::uint64_t{1} << 24;
}

}  // namespace platform
