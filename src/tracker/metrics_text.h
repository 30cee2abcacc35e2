// The tracker's counters as a Prometheus text exposition (format 0.0.4).
#pragma once

#include <cstdint>
#include <string>

#include "tracker/tracker.h"

namespace lattice {

// What the page shows beside the tracker's own state; the caller gathers it
// at each scrape.
struct MetricsFacts {
  const char* version = "";
  const char* buildId = "";
  const char* platform = "";
  const char* ioBackend = "";
  // Seconds since 1970.
  std::int64_t startTime = 0;
  std::uint64_t residentBytes = 0;
  std::uint64_t allocatedBytes = 0;
  // User and system CPU time together.
  std::uint64_t cpuNanoseconds = 0;
  // Descriptors (handles on Windows) open; -1 leaves the metric out.
  std::int64_t openDescriptors = -1;
  // Their bound; 0 leaves the metric out.
  std::uint64_t maxDescriptors = 0;
  std::uint64_t logLinesDropped = 0;
  // Metrics connections closed at once because the endpoint was full.
  std::uint64_t connectionsRefused = 0;
};

// Appends the page. The counters are the fields the statistics report
// prints, so both always agree.
void WriteMetricsText(const Tracker& tracker, const MetricsFacts& facts, std::string& out);

}  // namespace lattice
