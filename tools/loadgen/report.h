// The run's results: a table on standard output and, on request, JSON.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "generator.h"

namespace loadgen {

struct RunSummary {
  std::string label;
  const Options* options = nullptr;
  double warmupSeconds = 0;
  double measuredSeconds = 0;
  double drainSeconds = 0;
  Counters total;
  Counters window;
  Errors errors;
  std::uint64_t datagramDrops = 0;
  std::uint64_t rateShortfall = 0;
  ProcessSample trackerBefore, trackerWarm, trackerEnd;
  double ownCpuSeconds = 0;
  std::uint32_t connections = 0;
  std::uint32_t peers = 0;
  std::uint32_t shares = 0;
  bool timedOut = false;
  int exitCode = 0;
};

// Sorts the latencies (nanoseconds) in place.
void PrintAndSave(const RunSummary& summary, std::vector<std::uint32_t>& latencies);

}  // namespace loadgen
