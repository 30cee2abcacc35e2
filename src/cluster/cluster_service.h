// What the event loop sees of cluster mode: a service it runs once per pass
// and stops at shutdown, and the shared registry it hands the tracker.
#pragma once

#include <cstdint>
#include <memory>

#include "cluster/cluster_setup.h"
#include "tracker/shared_registry.h"

namespace lattice {

struct IoPortContext;

namespace cluster {

class ClusterService {
 public:
  virtual ~ClusterService() = default;
  virtual SharedRegistry& Registry() = 0;
  // Once per pass, before the pass's sends start.
  virtual void RunPass(std::int64_t nowMs) = 0;
  // How long the loop may wait before RunPass is due again; at most maxMs.
  virtual int MillisecondsToNextTimer(std::int64_t nowMs, int maxMs) const = 0;
  // Calls sent and not yet answered.
  virtual bool CallsInFlight() const = 0;
  virtual void Stop() = 0;
  virtual bool TransfersInFlight() const = 0;
};

// This node's part in the cluster the setup names.
std::unique_ptr<ClusterService> StartClusterService(IoPortContext& loop, const ClusterSetup& setup);

}  // namespace cluster
}  // namespace lattice
