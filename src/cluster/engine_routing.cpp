// The slot map: which primary serves which slot, asked for with CLUSTER
// SLOTS at start, after a redirection or a broken connection, and now and
// then.
#include <algorithm>

#include "cluster/engine_state.h"
#include "cluster/key_slot.h"
#include "cluster/slot_map.h"

namespace lattice::cluster {
namespace {

constexpr std::string_view kClusterSlots = "*2\r\n$7\r\nCLUSTER\r\n$5\r\nSLOTS\r\n";

}  // namespace

Node& EngineState::NodeFor(const std::string& host, std::uint16_t port) {
  std::string name = host + ":" + std::to_string(port);
  auto it = nodes.find(name);
  if (it == nodes.end()) {
    auto node = std::make_unique<Node>(*this, EngineAddress{host, port}, name);
    it = nodes.emplace(std::move(name), std::move(node)).first;
  }
  return *it->second;
}

bool EngineState::Degraded() const {
  // A map with slots no node serves is one read while the cluster was being
  // formed or resharded: reading it again soon finds the rest.
  if (!mapKnown || lastCovered < kSlotCount) return true;
  for (const auto& [name, node] : nodes)
    if (node->primary && node->command.status != LinkStatus::Up) return true;
  return false;
}

Connection* EngineState::RefreshLink(std::int64_t now) const {
  // The connection waiting longest for an answer is the likeliest frozen:
  // the one that has waited least is asked.
  Connection* best = nullptr;
  std::int64_t bestWait = 0;
  for (auto& [name, node] : nodes) {
    Connection& c = node->command;
    if (c.status != LinkStatus::Up) continue;
    const std::int64_t wait = c.expected.empty() ? 0 : now - c.expected.front().sentMs;
    if (best == nullptr || wait < bestWait) {
      best = &c;
      bestWait = wait;
    }
  }
  return best;
}

std::int64_t EngineState::NextRefreshMs(std::int64_t now) const {
  if (refreshInFlight) return refreshStartedMs + kRefreshTimeoutMs;
  // Nothing to ask through: the seeds are being connected, and their
  // coming up wakes the loop.
  if (RefreshLink(now) == nullptr) return INT64_MAX;
  std::int64_t gap = kPeriodicRefreshMs;
  if (refreshWanted || Degraded()) gap = refreshWanted || !mapKnown ? kMinRefreshGapMs : kDegradedRefreshMs;
  return lastRefreshMs + gap;
}

void EngineState::MaybeRefresh(std::int64_t now) {
  if (refreshInFlight && now - refreshStartedMs < kRefreshTimeoutMs) return;
  if (refreshInFlight) refreshInFlight = false;  // its node did not answer in time; ask another
  if (now < NextRefreshMs(now)) return;
  Connection* via = RefreshLink(now);
  if (via == nullptr) return;
  refreshInFlight = true;
  refreshWanted = false;
  refreshStartedMs = lastRefreshMs = now;
  via->expected.push_back({Expected::Slots, ++refreshGeneration, now});
  Send(*via, kClusterSlots, now);
}

void EngineState::OnSlots(Connection& c, std::uint64_t generation, const redisReply& reply, std::int64_t now) {
  if (generation != refreshGeneration) return;  // a later one was asked meanwhile
  refreshInFlight = false;
  std::vector<SlotRange> ranges;
  if (!ParseClusterSlots(reply, c.node.address.host, ranges) || ranges.empty()) {
    const bool error = reply.type == REDIS_REPLY_ERROR;
    LogLimited(mapLines, "engine: no slot map from %s%s%.*s", c.node.name.c_str(), error ? ": " : "",
               error ? static_cast<int>(reply.len) : 0, error ? reply.str : "");
    refreshWanted = true;
    return;
  }
  std::vector<Node*> owners(kSlotCount, nullptr);
  for (auto& [name, node] : nodes) node->primary = false;
  std::size_t covered = 0;
  for (const SlotRange& r : ranges) {
    Node& node = NodeFor(r.host, r.port);
    node.primary = true;
    std::fill(owners.begin() + r.first, owners.begin() + r.last + 1, &node);
    covered += static_cast<std::size_t>(r.last - r.first + 1);
  }
  slotOwner.swap(owners);
  mapKnown = true;
  ++stats.slotMapRefreshes;
  subscribeDueMs = std::min(subscribeDueMs, now);
  std::size_t primaries = 0;
  for (auto& [name, node] : nodes) primaries += node->primary ? 1 : 0;
  if (primaries != lastPrimaryCount || covered != lastCovered)
    LogLimited(mapLines, "engine: slot map: %llu primaries, %llu of %u slots served",
               static_cast<unsigned long long>(primaries), static_cast<unsigned long long>(covered),
               static_cast<unsigned>(kSlotCount));
  lastPrimaryCount = primaries;
  lastCovered = covered;
}

}  // namespace lattice::cluster
