#include "tracker/tracker_stats.h"

#include "log/log.h"
#include "log/loop_clock.h"

namespace lattice {

TrackerStats trackerStats;

namespace {
constexpr int kTcp = 1;
constexpr int kUtp = 2;
}  // namespace

bool ReportStatisticsTo(std::FILE* out) {
  TrackerStats& s = trackerStats;
  std::int64_t now = LoopClock();
  if (static_cast<std::int64_t>(s.reportPeriod) + s.lastReport > now) return false;
  static char timeText[200];
  FormatLocalTime(now, timeText, sizeof timeText);
  std::fprintf(out,
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
  std::fflush(out);
  s.lastReport = now;
  for (int k = 0; k < 3; ++k) {
    s.registered[k] = 0;
    s.unregistered[k] = 0;
    s.getPeersPeriod[k] = 0;
    s.peersSentPeriod[k] = 0;
  }
  return true;
}

void ReportStatistics() { ReportStatisticsTo(stdout); }

}  // namespace lattice
