// The single-threaded completion-port event loop.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/io_port.h"
#include "tracker/tracker.h"

namespace lattice {

using StartedHook = void (*)();
struct MetricsSetup;
namespace cluster {
struct ClusterSetup;
}

struct LoopOptions {
  std::int32_t mtu = 0;   // the -mtu option; 0 when not set
  std::string ioBackend;  // the completion port's mechanism; empty for the best there is
  // The cluster to join; null when the tracker runs alone (no -cluster).
  const cluster::ClusterSetup* cluster = nullptr;
};

// Serves the listening and UDP sockets for the tracker, and the metrics
// endpoint when metrics has a listener, until stopFlag is set. Calls
// onStarted once, just before the first wait. Handles that the loop closed
// itself are set to kInvalidSocket in the lists and in metrics. False when
// the loop failed: its port could not be made or was lost.
bool RunEventLoop(Tracker& tracker, const std::atomic<std::int32_t>& stopFlag, const LoopOptions& options,
                  std::vector<platform::SocketHandle>& tcpHandles, std::vector<platform::SocketHandle>& udpHandles,
                  MetricsSetup& metrics, StartedHook onStarted);

// Idle connections are swept at most this often, in loop-clock seconds.
constexpr std::int64_t kSweepInterval = 5;

// Whether the sweep is due at now, given the time of the last sweep.
inline bool SweepDue(std::int64_t now, std::int64_t lastSweep) { return now - lastSweep >= kSweepInterval; }

}  // namespace lattice
