#include "cluster/node_table.h"

namespace lattice::cluster {

NodeTable::NodeTable(std::string selfId, std::uint64_t epoch, std::int64_t ttlMs)
    : self(std::move(selfId)), selfEpoch(epoch), recordTtlMs(ttlMs) {}

void NodeTable::Update(const std::vector<NodeSeen>& seen, std::int64_t nowMs) {
  for (auto& [name, node] : nodes) node.dead = true;  // gone from the table: forgotten by the engine
  // Ages are measured against this node's own last beat: when the table's
  // primary was frozen or failed over, every beat stopped alike, this one's
  // too, and no node is taken for dead for it.
  std::int64_t baseline = 0;
  for (const NodeSeen& s : seen)
    if (s.node == self) baseline = s.ageMs;
  for (const NodeSeen& s : seen) {
    const bool isSelf = s.node == self;
    const std::uint64_t epoch = isSelf ? selfEpoch : s.epoch;
    auto [it, added] = nodes.try_emplace(s.node);
    Node& node = it->second;
    // A new epoch (or, for this node, an older one still on record) means
    // the parts of the old incarnation are dead while they may live.
    if ((!added && epoch > node.epoch) || (isSelf && s.epoch < selfEpoch)) node.listedUntilMs = nowMs + recordTtlMs;
    node.epoch = epoch;
    node.dead = !isSelf && s.ageMs > baseline + kDeadAfterMs;
  }
  if (auto it = nodes.find(self); it != nodes.end()) it->second.dead = false;
  Rebuild(nowMs);
}

void NodeTable::Rebuild(std::int64_t nowMs) {
  epochs.clear();
  for (const auto& [name, node] : nodes) {
    std::uint64_t listed = 0;
    if (node.dead) {
      listed = node.epoch + 1;
    } else if (node.listedUntilMs > nowMs) {
      listed = node.epoch;
    } else {
      continue;
    }
    if (!epochs.empty()) epochs.push_back(',');
    epochs += name;
    epochs.push_back(':');
    epochs += std::to_string(listed);
  }
}

bool NodeTable::Alive(std::string_view name, std::uint64_t epoch) const {
  auto it = nodes.find(name);
  if (it == nodes.end()) return true;
  return !it->second.dead && epoch == it->second.epoch;
}

std::size_t NodeTable::LiveNodes() const {
  std::size_t live = 0;
  for (const auto& [name, node] : nodes) live += node.dead ? 0 : 1;
  return live;
}

}  // namespace lattice::cluster
