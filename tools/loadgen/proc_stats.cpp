#include "proc_stats.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace loadgen {
namespace {

bool ReadFile(const std::string& path, std::string& out) {
  std::FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return false;
  char buffer[4096];
  std::size_t n;
  out.clear();
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
  std::fclose(f);
  return true;
}

}  // namespace

ProcessSample SampleProcess(int pid) {
  ProcessSample sample;
  if (pid <= 0) return sample;
  std::string status;
  std::string stat;
  std::string base = "/proc/" + std::to_string(pid);
  if (!ReadFile(base + "/status", status) || !ReadFile(base + "/stat", stat)) return sample;
  std::size_t at = status.find("VmRSS:");
  if (at == std::string::npos) return sample;
  sample.rssKiB = std::strtoll(status.c_str() + at + 6, nullptr, 10);
  // The command name may hold spaces and parentheses; fields count from the
  // last ')'. utime and stime are fields 14 and 15, i.e. the 12th and 13th
  // after the state field.
  std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return sample;
  const char* p = stat.c_str() + close + 2;
  long long fields[13] = {};
  for (int i = 0; i < 13; ++i) {
    while (*p == ' ') ++p;
    if (i == 0) {
      ++p;  // the state letter
      continue;
    }
    char* end;
    fields[i] = std::strtoll(p, &end, 10);
    p = end;
  }
  // fields[1] is field 4 (ppid); utime is field 14 -> index 11, stime -> 12.
  long ticks = sysconf(_SC_CLK_TCK);
  const double perSecond = static_cast<double>(ticks > 0 ? ticks : 100);
  sample.cpuSeconds = static_cast<double>(fields[11] + fields[12]) / perSecond;
  sample.systemSeconds = static_cast<double>(fields[12]) / perSecond;
  sample.valid = true;
  return sample;
}

double OwnCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

}  // namespace loadgen
