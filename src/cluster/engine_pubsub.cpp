// Sharded subscriptions: each channel on a subscriber connection to the
// primary of its slot, made again after a reconnect or a move.
#include <algorithm>

#include "cluster/engine_state.h"
#include "cluster/key_slot.h"
#include "cluster/slot_map.h"

namespace lattice::cluster {
namespace {

std::string EncodeSubscribe(const std::string& channel) {
  const char* argv[] = {"SSUBSCRIBE", channel.data()};
  const std::size_t lengths[] = {10, channel.size()};
  char* encoded = nullptr;
  const int length = redisFormatCommandArgv(&encoded, 2, argv, lengths);
  if (length < 0) return {};
  std::string out(encoded, static_cast<std::size_t>(length));
  redisFreeCommand(encoded);
  return out;
}

std::string_view Text(const redisReply* r) { return {r->str, static_cast<std::size_t>(r->len)}; }

}  // namespace

void EngineState::Resubscribe(std::int64_t now) {
  if (now < subscribeDueMs) return;
  subscribeDueMs = INT64_MAX;
  bool waiting = false;
  for (auto& [name, channel] : channels) {
    if (channel.status != Channel::Idle) continue;
    Node* node = mapKnown ? slotOwner[SlotOfKey(name)] : nullptr;
    if (node == nullptr) {
      waiting = true;
      continue;
    }
    node->subscriberWanted = true;
    Connection& c = node->subscriber;
    if (c.status != LinkStatus::Up) {
      waiting = true;  // Reconnect makes it; its coming up calls again
      continue;
    }
    channel.status = Channel::Pending;
    channel.on = node;
    c.expected.push_back({Expected::Subscribe, 0, now});
    c.subscribing.push_back(name);
    Send(c, EncodeSubscribe(name), now);
  }
  if (waiting) subscribeDueMs = std::min(subscribeDueMs, now + kResubscribePollMs);
}

void EngineState::DropSubscriptions(Node& node, std::int64_t now) {
  for (auto& [name, channel] : channels) {
    if (channel.on != &node) continue;
    channel.status = Channel::Idle;
    channel.on = nullptr;
    subscribeDueMs = std::min(subscribeDueMs, now + kResubscribePollMs);
  }
}

void EngineState::OnSubscriberReply(Connection& c, const redisReply& reply, std::int64_t now) {
  if (!c.expected.empty() && c.expected.front().kind == Expected::Auth) {
    c.expected.pop_front();
    OnAuthReply(c, reply, now);
    return;
  }
  // RESP2: pushes are arrays led by their kind and the channel.
  if (reply.type == REDIS_REPLY_ARRAY && reply.elements >= 3 && reply.element[0]->type == REDIS_REPLY_STRING &&
      reply.element[1]->type == REDIS_REPLY_STRING) {
    const std::string_view kind = Text(reply.element[0]);
    const std::string_view name = Text(reply.element[1]);
    if (kind == "smessage" && reply.element[2]->type == REDIS_REPLY_STRING) {
      ++stats.messagesReceived;
      if (onMessage != nullptr) onMessage(owner, name, Text(reply.element[2]));
      return;
    }
    auto it = channels.find(name);
    if (kind == "ssubscribe") {
      if (!c.expected.empty()) c.expected.pop_front();
      if (!c.subscribing.empty()) c.subscribing.pop_front();
      if (it != channels.end()) it->second = {Channel::Subscribed, &c.node};
      return;
    }
    if (kind == "sunsubscribe") {
      // The slot moved away: the map says where to, and the channel follows.
      if (it != channels.end()) it->second = {};
      refreshWanted = true;
      subscribeDueMs = std::min(subscribeDueMs, now + kResubscribePollMs);
      return;
    }
  }
  if (reply.type == REDIS_REPLY_ERROR && !c.subscribing.empty()) {
    // A refused SSUBSCRIBE: most likely a MOVED, the slot being elsewhere.
    const std::string name = std::move(c.subscribing.front());
    c.subscribing.pop_front();
    if (!c.expected.empty()) c.expected.pop_front();
    auto it = channels.find(name);
    if (it != channels.end()) it->second = {};
    Redirect redirect;
    if (ParseRedirect(Text(&reply), redirect)) {
      Node& target = NodeFor(redirect.host, redirect.port);
      target.primary = true;
      slotOwner[redirect.slot] = &target;
    } else {
      LogLimited(mapLines, "engine: SSUBSCRIBE %s refused by %s: %.*s", name.c_str(), c.node.name.c_str(),
                 static_cast<int>(reply.len), reply.str);
    }
    refreshWanted = true;
    subscribeDueMs = std::min(subscribeDueMs, now + kRetryDelayMs);
    return;
  }
  Break(c, "unexpected answer", now);
}

}  // namespace lattice::cluster
