#include "tracker/tracker_stats.h"

#include <algorithm>
#include <cstdarg>
#include <string>

#include "log/log.h"

namespace lattice {

namespace {
constexpr int kTcp = 1;
constexpr int kUtp = 2;

// Builds the report when one is due and starts the next period.
bool TakeReport(TrackerStats& s, std::int64_t now, std::string& text) {
  if (static_cast<std::int64_t>(s.reportPeriod) + s.lastReport > now) return false;
  char timeText[200];
  FormatLocalTime(now, timeText, sizeof timeText);
  AppendFormat(text,
          "\n%s\nactive peers:      TCP %llu\tuTP %llu\ntotal:\n"
          " 'get_peers' recv: TCP %llu\tuTP %llu\n"
          " 'peers' sent:     TCP %llu\tuTP %llu\n"
          "last %d seconds:\n"
          " registered:       TCP %llu\tuTP %llu\n"
          " unregistered:     TCP %llu\tuTP %llu\n"
          " 'get_peers' recv: TCP %llu\tuTP %llu\n"
          " 'peers' sent:     TCP %llu\tuTP %llu\n",
          timeText, static_cast<unsigned long long>(s.active[kTcp]),
          static_cast<unsigned long long>(s.active[kUtp]),
          static_cast<unsigned long long>(s.getPeersTotal[kTcp]),
          static_cast<unsigned long long>(s.getPeersTotal[kUtp]),
          static_cast<unsigned long long>(s.peersSentTotal[kTcp]),
          static_cast<unsigned long long>(s.peersSentTotal[kUtp]), s.reportPeriod,
          static_cast<unsigned long long>(s.registered[kTcp]),
          static_cast<unsigned long long>(s.registered[kUtp]),
          static_cast<unsigned long long>(s.unregistered[kTcp]),
          static_cast<unsigned long long>(s.unregistered[kUtp]),
          static_cast<unsigned long long>(s.getPeersPeriod[kTcp]),
          static_cast<unsigned long long>(s.getPeersPeriod[kUtp]),
          static_cast<unsigned long long>(s.peersSentPeriod[kTcp]),
          static_cast<unsigned long long>(s.peersSentPeriod[kUtp]));
  const std::uint64_t* h = s.limitHits;
  AppendFormat(text,
          "limits hit:        descriptors %llu\tconnections %llu\taddress %llu\tpeer ids %llu\t"
          "la %llu\tper peer id %llu\tregistry bytes %llu\tpending uTP %llu\n",
          static_cast<unsigned long long>(h[kLimitDescriptors]),
          static_cast<unsigned long long>(h[kLimitConnections]),
          static_cast<unsigned long long>(h[kLimitPerAddress]),
          static_cast<unsigned long long>(h[kLimitPeerIds]),
          static_cast<unsigned long long>(h[kLimitLocalAddress]),
          static_cast<unsigned long long>(h[kLimitPerPeerId]),
          static_cast<unsigned long long>(h[kLimitRegistryBytes]),
          static_cast<unsigned long long>(h[kLimitPendingUtp]));
  s.lastReport = now;
  for (int k = 0; k < 3; ++k) {
    s.registered[k] = 0;
    s.unregistered[k] = 0;
    s.getPeersPeriod[k] = 0;
    s.peersSentPeriod[k] = 0;
  }
  return true;
}

}  // namespace

bool ReportStatisticsTo(TrackerStats& stats, std::int64_t now, std::FILE* out) {
  std::string text;
  if (!TakeReport(stats, now, text)) return false;
  std::fwrite(text.data(), 1, text.size(), out);
  std::fflush(out);
  return true;
}

// Through the log's queue, so that a blocked standard output never holds up
// the loop; the report is queued whole or not at all.
void ReportStatistics(TrackerStats& stats, std::int64_t now) {
  std::string text;
  if (TakeReport(stats, now, text)) PrintUnstamped(text);
}

}  // namespace lattice
