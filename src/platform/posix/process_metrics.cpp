// Process figures from /proc on Linux.
#include "platform/process_metrics.h"

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/syscall.h>
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

std::uint64_t CpuNanoseconds() {
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  const auto micro = [](const timeval& t) {
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000u + static_cast<std::uint64_t>(t.tv_usec);
  };
  return (micro(usage.ru_utime) + micro(usage.ru_stime)) * 1000u;
}

std::int64_t OpenDescriptors() {
  // The raw directory reads into a buffer on the stack: a scrape allocates
  // nothing here, however many connections are open.
  const int fd = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  alignas(8) char buffer[16384];
  std::int64_t count = 0;
  for (;;) {
    const long n = syscall(SYS_getdents64, fd, buffer, sizeof buffer);
    if (n < 0) {
      count = -1;
      break;
    }
    if (n == 0) break;
    for (long at = 0; at < n;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
      if (entry->d_name[0] != '.') ++count;
      at += entry->d_reclen;
    }
  }
  close(fd);
  // Less the descriptor that read the directory, which is gone again now.
  return count < 0 ? -1 : count - 1;
}

std::uint64_t MaxDescriptors() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  return static_cast<std::uint64_t>(limit.rlim_cur);
}

}  // namespace platform
