// Readings of another process from /proc: resident memory and CPU time.
#pragma once

#include <cstdint>

namespace loadgen {

struct ProcessSample {
  bool valid = false;
  std::int64_t rssKiB = 0;      // VmRSS of /proc/PID/status
  double cpuSeconds = 0;        // utime + stime of /proc/PID/stat, all threads
  double systemSeconds = 0;     // stime alone: on loopback it includes the peer's receive path
};

ProcessSample SampleProcess(int pid);

// This process's own user + system time, for telling whether the load
// generator rather than the server was the bottleneck.
double OwnCpuSeconds();

}  // namespace loadgen
