// What -cluster and its companion options ask for: the Redis Cluster to join
// and how this node takes part. Without -cluster, enabled stays false and
// nothing of cluster mode runs.
#pragma once

#include <cstdint>
#include <string>

#include "cluster/engine_client.h"

namespace lattice::cluster {

struct ClusterSetup {
  bool enabled = false;
  EngineOptions engine;
  // This node's name in the shared registry: unique in the cluster, without
  // ':' or ','. Defaults to the host name and the tracker's port.
  std::string nodeId;
  // How long a node's part of a record lives in the engine unless announced
  // again.
  std::int64_t recordTtlMs = 300000;
  // How long introductions for other nodes may gather before they are
  // published: one inbox message then carries those of several requests,
  // which spares the engine and the receiving node a wake-up each.
  std::int64_t inboxDelayMs = 5;
};

}  // namespace lattice::cluster
