// Traffic counters and the periodic statistics report.
#pragma once

#include <cstdint>
#include <cstdio>

#include "tracker/limits.h"
#include "tracker/pass_time_histogram.h"

namespace lattice {

// Why a "peers" message was not queued.
enum DropReason : int { kDropRingFull = 0, kDropTooLarge, kDropReasons };

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
  // Since start: what registered and unregistered add up to over all periods.
  std::uint64_t registeredTotal[3] = {};
  std::uint64_t unregisteredTotal[3] = {};
  // Bytes moved by the connections' transfers: Tcp for TCP, Udp for the
  // datagrams that carry uTP.
  std::uint64_t bytesReceived[3] = {};
  std::uint64_t bytesSent[3] = {};
  // Replies larger than the outbound ring can ever hold (one that merely
  // does not fit now is held, not dropped), and introductions not queued.
  std::uint64_t repliesDropped = 0;
  std::uint64_t introductionsDropped[kDropReasons] = {};
  // Times each bound of Limits was hit since start, indexed by LimitKind.
  std::uint64_t limitHits[kLimitKinds] = {};
  PassTimeHistogram passTimes;

  void CountRegistered(int kind) {
    ++registered[kind];
    ++registeredTotal[kind];
  }
  void CountUnregistered(int kind) {
    ++unregistered[kind];
    ++unregisteredTotal[kind];
  }

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

// Prints the report when the period has run out at now (loop-clock seconds),
// through the log's output queue.
void ReportStatistics(TrackerStats& stats, std::int64_t now);
// The same, written at once to a chosen stream; returns whether a report was
// printed.
bool ReportStatisticsTo(TrackerStats& stats, std::int64_t now, std::FILE* out);

}  // namespace lattice
