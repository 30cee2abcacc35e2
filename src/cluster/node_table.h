// The tracker nodes of the cluster as their heartbeats show them: which are
// alive, with which epoch (incarnation), and the "epochs" argument that
// tells the engine which nodes' parts of records are dead.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace lattice::cluster {

// A node whose heartbeat is older than this is taken for dead: with a beat
// every half second, its peers leave other nodes' replies within 2 seconds.
inline constexpr std::int64_t kHeartbeatIntervalMs = 500;
inline constexpr std::int64_t kDeadAfterMs = 1500;

struct NodeSeen {
  std::string node;
  std::uint64_t epoch = 0;
  std::int64_t ageMs = 0;  // since its last heartbeat, by the engine's clock
};

class NodeTable {
 public:
  NodeTable(std::string self, std::uint64_t selfEpoch, std::int64_t recordTtlMs);

  // A heartbeat's answer: every node as it was before this node's beat.
  void Update(const std::vector<NodeSeen>& seen, std::int64_t nowMs);
  // Whether parts of this node and epoch are worth routing to. A node not
  // seen yet counts as alive: it may have started since the last beat.
  bool Alive(std::string_view node, std::uint64_t epoch) const;
  // "node:epoch,...": dead nodes with their epoch + 1 (so all their parts
  // are dead), restarted ones with their new epoch (their old parts are),
  // for as long as parts of the old may live. Empty in the steady state.
  const std::string& EpochsArgument() const { return epochs; }
  std::size_t LiveNodes() const;

 private:
  struct Node {
    std::uint64_t epoch = 0;
    bool dead = false;
    // Until when the node is listed with its new epoch (restarted).
    std::int64_t listedUntilMs = 0;
  };
  void Rebuild(std::int64_t nowMs);

  std::string self;
  std::uint64_t selfEpoch;
  std::int64_t recordTtlMs;
  std::map<std::string, Node, std::less<>> nodes;
  std::string epochs;
};

}  // namespace lattice::cluster
