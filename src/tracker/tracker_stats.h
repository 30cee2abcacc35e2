// Traffic counters and the periodic statistics report.
#pragma once

#include <cstdint>
#include <cstdio>

#include "tracker/limits.h"

namespace lattice {

struct TrackerStats {
  std::int32_t reportPeriod = 10;
  std::int64_t lastReport = 0;
  // Each array is indexed by SocketKind (Udp 0, Tcp 1, Utp 2).
  std::uint64_t active[3] = {};
  std::uint64_t registered[3] = {};
  std::uint64_t unregistered[3] = {};
  std::uint64_t getPeersTotal[3] = {};
  std::uint64_t peersSentTotal[3] = {};
  std::uint64_t getPeersPeriod[3] = {};
  std::uint64_t peersSentPeriod[3] = {};
  // Times each bound of Limits was hit since start, indexed by LimitKind.
  std::uint64_t limitHits[kLimitKinds] = {};

  void CountGetPeers(int kind) {
    ++getPeersTotal[kind];
    ++getPeersPeriod[kind];
  }
  void CountPeersSent(int kind) {
    ++peersSentTotal[kind];
    ++peersSentPeriod[kind];
  }
  // Counts a hit of a bound; the caller logs it through a rate limiter.
  void CountLimitHit(LimitKind kind) { ++limitHits[kind]; }
};

// Prints the report when the period has run out on the loop clock, through
// the log's output queue.
void ReportStatistics(TrackerStats& stats);
// The same, written at once to a chosen stream; returns whether a report was
// printed.
bool ReportStatisticsTo(TrackerStats& stats, std::FILE* out);

}  // namespace lattice
