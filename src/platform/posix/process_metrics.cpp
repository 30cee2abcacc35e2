// Process figures from /proc on Linux.
#include "platform/process_metrics.h"

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdlib>

namespace platform {

const char kPlatformName[] = "linux";

std::uint64_t ResidentMemoryBytes() {
  // statm holds page counts: total size, then resident.
  int fd = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[128];
  ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return 0;
  text[n] = '\0';
  char* end = nullptr;
  std::strtoull(text, &end, 10);
  const unsigned long long pages = std::strtoull(end, nullptr, 10);
  const long pageSize = sysconf(_SC_PAGESIZE);
  return pageSize > 0 ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize) : 0;
}

std::uint64_t AllocatedMemoryBytes() {
  // Small blocks in use plus the large ones the allocator mapped on its own.
  const struct mallinfo2 info = mallinfo2();
  return static_cast<std::uint64_t>(info.uordblks) + static_cast<std::uint64_t>(info.hblkhd);
}

}  // namespace platform
