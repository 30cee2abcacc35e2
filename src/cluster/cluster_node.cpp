#include "cluster/cluster_node.h"

#include <hiredis/hiredis.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "cluster/inbox_message.h"
#include "registry_library.h"
#include "cluster/shared_record.h"
#include "net/io_port_context.h"
#include "tracker/peers_encoder.h"
#include "tracker/request_handler.h"
#include "tracker/tracker.h"

namespace lattice::cluster {
namespace {

constexpr const char* kNodesKey = "lt:nodes";
// A node not heard of for this long leaves the node table altogether.
constexpr std::int64_t kForgetNodeMs = 24 * 3600 * 1000;
// The walk for quiet records: how often a slice runs, and its most calls.
constexpr std::int64_t kTouchSliceMs = 100;
constexpr std::size_t kMaxTouchesPerSlice = 256;

std::uint64_t WallClockMilliseconds() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
}

std::string_view ReplyText(const redisReply* r) {
  return r != nullptr && r->str != nullptr ? std::string_view(r->str, r->len) : std::string_view();
}

void CountSent(Tracker& tracker, Connection& target, std::string_view message) {
  SendIntroduction(tracker, target, reinterpret_cast<const std::uint8_t*>(message.data()), message.size());
}

// Small decimal texts for the call's arguments, without allocating.
struct Decimal {
  explicit Decimal(std::uint64_t v) { length = static_cast<std::size_t>(std::snprintf(text, sizeof text, "%llu",
                                                                                     static_cast<unsigned long long>(v))); }
  char text[24];
  std::size_t length;
};

// A value's bytes as an argument; an absent one is empty, not null.
const char* Bytes(const ByteView& v) { return v.data != nullptr ? reinterpret_cast<const char*>(v.data) : ""; }

}  // namespace

std::string InboxChannel(std::string_view node, int index) {
  std::string channel = "lt:in:{";
  channel += node;
  channel += '.';
  channel += std::to_string(index);
  channel += '}';
  return channel;
}

std::unique_ptr<ClusterService> StartClusterService(IoPortContext& loop, const ClusterSetup& setup) {
  return std::make_unique<ClusterNode>(loop, setup);
}

ClusterNode::ClusterNode(IoPortContext& loopContext, const ClusterSetup& clusterSetup)
    : loop(loopContext),
      setup(clusterSetup),
      nodeId(clusterSetup.nodeId),
      epoch(WallClockMilliseconds()),
      epochText(std::to_string(epoch)),
      engine(loopContext, clusterSetup.engine, this, &ClusterNode::OnInboxMessage),
      nodes(clusterSetup.nodeId, epoch, clusterSetup.recordTtlMs) {
  for (int i = 0; i < kInboxChannels; ++i) engine.Subscribe(InboxChannel(nodeId, i));
  Log("cluster node %s, epoch %s", nodeId.c_str(), epochText.c_str());
}

ClusterNode::~ClusterNode() = default;

void ClusterNode::CountDegraded(DegradedReason reason, const char* why) {
  ++degraded[reason];
  LogLimited(degradedLines, "cluster: answered from this node's registry: %s", why);
}

void ClusterNode::SetShareKeys(const ShareId& share) {
  static constexpr char kHex[] = "0123456789abcdef";
  hashKey.assign("lt:{");
  for (std::size_t i = 0; i < share.length; ++i) {
    hashKey.push_back(kHex[share.bytes[i] >> 4]);
    hashKey.push_back(kHex[share.bytes[i] & 15]);
  }
  hashKey.push_back('}');
  expiryKey = hashKey;
  hashKey += ":p";
  expiryKey += ":e";
}

std::size_t ClusterNode::DescribeConnections(Tracker& tracker, const PeerId& id, Connection* adding,
                                             const Connection* leaving) {
  connections.clear();
  std::size_t count = 0;
  bool added = adding == nullptr;
  if (const std::vector<Connection*>* bound = tracker.registry.FindPeerConnections(id)) {
    for (Connection* c : *bound) {
      if (c == leaving) continue;
      added = added || c == adding;
      AppendConnection(connections, c->Kind(), c->peerAddress, tokens.TokenOf(*c));
      ++count;
    }
  }
  if (!added) {
    AppendConnection(connections, adding->Kind(), adding->peerAddress, tokens.TokenOf(*adding));
    ++count;
  }
  return count;
}

bool ClusterNode::Ask(Tracker& tracker, Connection& connection, const GetPeersRequest& request, const ShareId& share,
                      const PeerId& id) {
  // Parts are written only once this node's heartbeat is on record, so any
  // node that reads them can tell when this one stops.
  if (heartbeats == 0) {
    CountDegraded(kNotReady, "this node's heartbeat is not on record in the cluster yet");
    return false;
  }
  SetShareKeys(share);
  const Decimal count(DescribeConnections(tracker, id, &connection, nullptr));
  pwl.clear();
  for (const PeerId& p : request.pwl) pwl.append(reinterpret_cast<const char*>(p.bytes.data()), p.bytes.size());
  const Decimal lp(request.lp), up(request.up), pv(request.pv);
  const Decimal bound(tracker.limits.maxConnectionsPerPeerId);
  const Decimal ttl(static_cast<std::uint64_t>(setup.recordTtlMs));
  const std::string& epochs = nodes.EpochsArgument();
  const char* argv[] = {"FCALL", "lattice_announce", "2", hashKey.data(), expiryKey.data(),
                        reinterpret_cast<const char*>(request.peer), nodeId.data(), epochText.data(), count.text,
                        connections.data(), lp.text, up.text, pv.text,
                        Bytes(request.la), Bytes(request.laList),
                        pwl.data(), bound.text, ttl.text, epochs.data()};
  const std::size_t lengths[] = {5, 16, 1, hashKey.size(), expiryKey.size(), 20, nodeId.size(), epochText.size(),
                                 count.length, connections.size(), lp.length, up.length, pv.length,
                                 static_cast<std::size_t>(request.la.length),
                                 static_cast<std::size_t>(request.laList.length), pwl.size(), bound.length,
                                 ttl.length, epochs.size()};
  static_assert(sizeof argv / sizeof argv[0] == sizeof lengths / sizeof lengths[0]);
  const std::uint64_t cookie = tokens.TokenOf(connection);
  if (!engine.Call(hashKey, static_cast<int>(sizeof lengths / sizeof lengths[0]), argv, lengths,
                   &ClusterNode::OnAnnounceDone, cookie)) {
    CountDegraded(kNotReady, "too many cluster calls in flight, or the share's engine node is down");
    return false;
  }
  connection.engineWait = EngineWait::Waiting;
  ++asked;
  return true;
}

void ClusterNode::OnAnnounceDone(void* owner, std::uint64_t cookie, CallOutcome outcome, const redisReply* reply) {
  auto* self = static_cast<ClusterNode*>(owner);
  Connection* connection = self->tokens.Find(cookie);
  if (connection == nullptr || connection->engineWait != EngineWait::Waiting) {
    ++self->answersForClosed;
    return;
  }
  self->answer = reply;
  self->answerOutcome = outcome;
  connection->engineWait = EngineWait::Answered;
  connection->ResumeInput();
  self->answer = nullptr;
  // Not handled again (it closed meanwhile): nothing waits any more.
  if (connection->engineWait == EngineWait::Answered) connection->engineWait = EngineWait::None;
}

SharedAnswer ClusterNode::Answer(Connection&) {
  if (answerOutcome == CallOutcome::TimedOut) {
    CountDegraded(kTimedOut, "the cluster engine did not answer in time");
    return SharedAnswer::Missing;
  }
  if (answerOutcome != CallOutcome::Replied || answer == nullptr) {
    CountDegraded(kUnreachable, "the cluster engine could not be reached");
    return SharedAnswer::Missing;
  }
  const redisReply* r = answer;
  if (r->type != REDIS_REPLY_ARRAY || r->elements < 2 || r->element[0]->type != REDIS_REPLY_INTEGER) {
    ++degraded[kEngineError];
    const std::string_view text = ReplyText(r);
    OnCallError(text);
    LogLimited(engineErrorLines, "cluster: the engine answered with an error: %.*s", static_cast<int>(text.size()),
               text.data());
    return SharedAnswer::Missing;
  }
  return r->element[0]->integer == 0 ? SharedAnswer::Refused : SharedAnswer::Listed;
}

EncodedMessage ClusterNode::EncodeAnswer(Tracker& tracker, Connection&, const GetPeersRequest& request,
                                         const PeerRecord& requester, const CompactAddress& address) {
  const redisReply& r = *answer;
  // Status 2: the requester has connections on other nodes too, and its whole
  // record comes before the listed peers.
  const std::size_t first = r.element[0]->integer == 2 && r.elements > 2 ? 3 : 2;
  const bool introduce = r.elements > first;
  SharedRecord record;
  if (introduce) {
    // The introduction first: the reply is encoded into the same buffer.
    EncodedMessage intro;
    if (first == 3 && DecodeListedPeer(ReplyText(r.element[2]), record)) {
      BeginPeersMessage(tracker.replyBuffer);
      EncodeSharedEntry(tracker.replyBuffer, requester.id.bytes.data(), record, &address);
      intro = FinishPeersMessage(tracker.replyBuffer, request, tracker.now);
    } else {
      static const std::vector<PeerRecord*> kNone;
      intro = EncodePeersMessage(tracker.replyBuffer, tracker.registry, PeersMode::Introduce, request, requester,
                                 address, kNone, tracker.now);
    }
    introduction.assign(reinterpret_cast<const char*>(intro.data), intro.length);
  }
  // Each listed peer is decoded once: listed in the reply, and its
  // connections given the introduction.
  BeginPeersMessage(tracker.replyBuffer);
  RouteGroups groups;
  for (std::size_t i = first; i < r.elements; ++i) {
    const std::string_view listed = ReplyText(r.element[i]);
    if (!DecodeListedPeer(listed, record)) continue;
    if (introduce) RouteIntroduction(tracker, record, groups);
    EncodeSharedEntry(tracker.replyBuffer, reinterpret_cast<const std::uint8_t*>(listed.data()), record);
  }
  if (introduce) QueueForOtherNodes(groups);
  return FinishPeersMessage(tracker.replyBuffer, request, tracker.now);
}

void ClusterNode::RouteIntroduction(Tracker& tracker, const SharedRecord& record, RouteGroups& groups) {
  const std::string_view intro = introduction;
  for (std::size_t p = 0; p < record.partCount; ++p) {
    const SharedPart& part = record.parts[p];
    std::string_view description = part.connections;
    SharedConnection c;
    if (part.node == nodeId) {
      if (part.epoch != epoch) continue;  // an earlier run of this node
      while (NextConnection(description, c)) {
        if (Connection* target = tokens.Find(c.token)) CountSent(tracker, *target, intro);
      }
      continue;
    }
    if (!nodes.Alive(part.node, part.epoch)) continue;
    std::size_t g = 0;
    while (g < groups.count && !(groups.node[g] == part.node && groups.epoch[g] == part.epoch)) ++g;
    if (g == groups.count) {
      if (groups.count == SharedRecord::kMaxParts) continue;
      routeTokens[groups.count].clear();
      groups.node[groups.count] = part.node;
      groups.epoch[groups.count++] = part.epoch;
    }
    while (NextConnection(description, c)) routeTokens[g].push_back(c.token);
  }
}

void ClusterNode::QueueForOtherNodes(const RouteGroups& groups) {
  for (std::size_t g = 0; g < groups.count; ++g) {
    Outbox* box = nullptr;
    for (Outbox& o : outboxes)
      if (o.node == groups.node[g]) box = &o;
    if (box == nullptr) {
      // Each sender writes to one of a node's channels, chosen by its own id.
      const int index = static_cast<int>(std::hash<std::string>{}(nodeId) % kInboxChannels);
      box = &outboxes.emplace_back(Outbox{std::string(groups.node[g]), InboxChannel(groups.node[g], index), {}});
    }
    AppendIntroduction(box->message, introduction, groups.epoch[g], routeTokens[g]);
    outboxesGathered = true;
    forwarded += routeTokens[g].size();
    if (box->message.size() >= kMaxInboxMessageBytes) SendOutboxes();
  }
}

void ClusterNode::SendOutboxesWhenDue(std::int64_t nowMs) {
  if (!outboxesGathered) return;
  if (outboxesDueMs < 0) outboxesDueMs = nowMs + setup.inboxDelayMs;
  if (nowMs >= outboxesDueMs) SendOutboxes();
}

void ClusterNode::SendOutboxes() {
  outboxesGathered = false;
  outboxesDueMs = -1;
  for (Outbox& box : outboxes) {
    if (box.message.empty()) continue;
    const char* argv[] = {"SPUBLISH", box.channel.data(), box.message.data()};
    const std::size_t lengths[] = {8, box.channel.size(), box.message.size()};
    if (engine.Call(box.channel, 3, argv, lengths, nullptr, 0)) {
      ++inboxSent;
    } else {
      undeliverable += 1;
    }
    box.message.clear();
  }
}

void ClusterNode::OnInboxMessage(void* owner, std::string_view, std::string_view payload) {
  auto* self = static_cast<ClusterNode*>(owner);
  Tracker& tracker = self->loop.tracker;
  ++self->inboxReceived;
  const bool whole = ForEachIntroduction(payload, [&](std::string_view intro, std::uint64_t epoch, std::uint64_t token) {
    Connection* target = epoch == self->epoch ? self->tokens.Find(token) : nullptr;
    if (target == nullptr) {
      ++self->undeliverable;
      return;
    }
    ++self->delivered;
    CountSent(tracker, *target, intro);
  });
  if (!whole) ++self->inboxMalformed;
}

void ClusterNode::OnConnectionClosing(Tracker& tracker, Connection& connection) {
  // Only a connection that some call described can have a part to remove.
  if (connection.tokenIndex == Connection::kNoToken) return;
  for (const PeerId& id : connection.registrations) {
    const std::vector<ShareId>* shares = tracker.registry.FindPeerShares(id);
    if (shares == nullptr) continue;
    const Decimal count(DescribeConnections(tracker, id, nullptr, &connection));
    const std::string& epochs = nodes.EpochsArgument();
    for (const ShareId& share : *shares) {
      SetShareKeys(share);
      const char* argv[] = {"FCALL", "lattice_unbind", "2", hashKey.data(), expiryKey.data(),
                            reinterpret_cast<const char*>(id.bytes.data()), nodeId.data(), epochText.data(),
                            count.text, connections.data(), epochs.data()};
      const std::size_t lengths[] = {5, 14, 1, hashKey.size(), expiryKey.size(), 20, nodeId.size(),
                                     epochText.size(), count.length, connections.size(), epochs.size()};
      if (engine.Call(hashKey, 11, argv, lengths, nullptr, 0)) {
        ++unbindsSent;
      } else {
        // The part lives on until its time limit.
        ++unbindsLost;
      }
    }
  }
  tokens.Release(connection);
}

void ClusterNode::Beat(std::int64_t nowMs) {
  if (beatInFlight || nowMs < nextBeatMs) return;
  nextBeatMs = nowMs + kHeartbeatIntervalMs;
  const Decimal forget(kForgetNodeMs);
  const char* argv[] = {"FCALL", "lattice_heartbeat", "1", kNodesKey, nodeId.data(), epochText.data(), forget.text};
  const std::size_t lengths[] = {5, 17, 1, std::strlen(kNodesKey), nodeId.size(), epochText.size(), forget.length};
  if (engine.Call(kNodesKey, 7, argv, lengths, &ClusterNode::OnHeartbeatDone, static_cast<std::uint64_t>(nowMs)))
    beatInFlight = true;
}

void ClusterNode::OnHeartbeatDone(void* owner, std::uint64_t sentAt, CallOutcome outcome, const redisReply* reply) {
  auto* self = static_cast<ClusterNode*>(owner);
  self->beatInFlight = false;
  if (outcome == CallOutcome::Replied && reply->type == REDIS_REPLY_ERROR) self->OnCallError(ReplyText(reply));
  if (outcome != CallOutcome::Replied || reply->type != REDIS_REPLY_ARRAY || reply->elements % 3 != 0) return;
  ++self->heartbeats;
  std::vector<NodeSeen> seen;
  for (std::size_t i = 0; i + 2 < reply->elements; i += 3) {
    const redisReply* e = reply->element[i + 1];
    const redisReply* age = reply->element[i + 2];
    if (e->type != REDIS_REPLY_INTEGER || age->type != REDIS_REPLY_INTEGER) continue;
    seen.push_back({std::string(ReplyText(reply->element[i])), static_cast<std::uint64_t>(e->integer), age->integer});
  }
  self->nodes.Update(seen, static_cast<std::int64_t>(sentAt));
}

void ClusterNode::LoadFunctionLibrary() {
  const std::uint64_t refreshes = engine.Stats().slotMapRefreshes;
  if (refreshes == libraryCheckedAt || !engine.Ready()) return;
  libraryCheckedAt = refreshes;
  // A key per primary, found by trying names: each primary owns about a
  // third of the slots, so a few names reach them all.
  const std::size_t primaries = engine.PrimariesKnown();
  std::vector<const void*> reached;
  for (int i = 0; i < 4096 && reached.size() < primaries; ++i) {
    const std::string key = "lt:library:" + std::to_string(i);
    const void* owner = engine.SlotOwner(KeySlot(key));
    if (owner == nullptr || std::find(reached.begin(), reached.end(), owner) != reached.end()) continue;
    reached.push_back(owner);
    if (std::find(loadedOn.begin(), loadedOn.end(), owner) != loadedOn.end()) continue;
    const char* argv[] = {"FUNCTION", "LOAD", "REPLACE", kRegistryLibrary};
    const std::size_t lengths[] = {8, 4, 7, sizeof kRegistryLibrary - 1};
    if (engine.Call(key, 4, argv, lengths, &ClusterNode::OnLibraryLoaded, reinterpret_cast<std::uintptr_t>(owner)))
      loadedOn.push_back(owner);
  }
}

void ClusterNode::OnCallError(std::string_view text) {
  if (text.find("Function not found") == std::string_view::npos) return;
  const std::int64_t now = SteadyMilliseconds();
  if (!loadedOn.empty() && now - libraryReloadMs < 1000) return;
  libraryReloadMs = now;
  loadedOn.clear();
  libraryCheckedAt = ~std::uint64_t{0};
}

void ClusterNode::OnLibraryLoaded(void* owner, std::uint64_t primary, CallOutcome outcome, const redisReply* reply) {
  if (outcome == CallOutcome::Replied && reply->type != REDIS_REPLY_ERROR) return;
  auto* self = static_cast<ClusterNode*>(owner);
  // Tried again at the next look at the map.
  std::erase(self->loadedOn, reinterpret_cast<const void*>(static_cast<std::uintptr_t>(primary)));
  self->libraryCheckedAt = ~std::uint64_t{0};
  const std::string_view text = outcome == CallOutcome::Replied ? ReplyText(reply) : "no answer";
  LogLimited(self->engineErrorLines, "cluster: loading the function library failed: %.*s", static_cast<int>(text.size()),
             text.data());
}

void ClusterNode::RunPass(std::int64_t nowMs) {
  engine.RunTimers(nowMs);
  LoadFunctionLibrary();
  Beat(nowMs);
  TouchQuietRecords(loop.tracker, nowMs);
  SendOutboxesWhenDue(nowMs);
}

// A peer stays listed while any connection keeps it bound, announced again or
// not, so its part must not expire under it. Every connection with a token
// is looked at once per sixth of the part's time limit, and a record not
// written for a third of it is touched: a touch that is lost is tried again
// well before the part expires. Slices run every 100 ms, bounded in calls.
void ClusterNode::TouchQuietRecords(Tracker& tracker, std::int64_t nowMs) {
  if (heartbeats == 0 || nowMs < nextTouchMs) return;
  nextTouchMs = nowMs + kTouchSliceMs;
  const auto size = static_cast<std::int64_t>(tokens.Size());
  const std::int64_t periodMs = std::max<std::int64_t>(setup.recordTtlMs / 6, kTouchSliceMs);
  std::int64_t visits = (size * kTouchSliceMs + periodMs - 1) / periodMs;
  std::size_t touches = 0;
  for (; visits > 0 && touches < kMaxTouchesPerSlice; --visits) {
    if (touchCursor >= tokens.Size()) touchCursor = 0;
    const Connection* connection = tokens.At(touchCursor++);
    if (connection == nullptr) continue;
    for (const PeerId& id : connection->registrations) {
      const std::vector<ShareId>* shares = tracker.registry.FindPeerShares(id);
      if (shares == nullptr) continue;
      for (const ShareId& share : *shares) {
        if (!TouchIfQuiet(tracker, share, id, touches)) return;
      }
    }
  }
}

bool ClusterNode::TouchIfQuiet(Tracker& tracker, const ShareId& share, const PeerId& id, std::size_t& touches) {
  PeerRecord* record = tracker.registry.FindPeerRecord(share, id);
  const auto now = static_cast<std::uint32_t>(tracker.now);
  const auto quietSeconds = static_cast<std::uint32_t>(std::max<std::int64_t>(setup.recordTtlMs / 3000, 1));
  // Never written (only answered here): there is no part to extend.
  if (record == nullptr || record->sharedAt == 0 || now - record->sharedAt < quietSeconds) return true;
  SetShareKeys(share);
  const Decimal ttl(static_cast<std::uint64_t>(setup.recordTtlMs));
  const char* argv[] = {"FCALL", "lattice_touch", "2", hashKey.data(), expiryKey.data(),
                        reinterpret_cast<const char*>(id.bytes.data()), nodeId.data(), epochText.data(), ttl.text};
  const std::size_t lengths[] = {5, 13, 1, hashKey.size(), expiryKey.size(), 20, nodeId.size(), epochText.size(),
                                 ttl.length};
  if (!engine.Call(hashKey, 9, argv, lengths, nullptr, 0)) {
    ++touchesLost;  // tried again by a later slice
    return false;
  }
  record->sharedAt = now;
  ++touchesSent;
  ++touches;
  return true;
}

int ClusterNode::MillisecondsToNextTimer(std::int64_t nowMs, int maxMs) const {
  // The wait, cut to what is left until `dueMs` (none once it passed).
  const auto until = [nowMs](int wait, std::int64_t dueMs) {
    return dueMs - nowMs < wait ? static_cast<int>(std::max<std::int64_t>(dueMs - nowMs, 0)) : wait;
  };
  int wait = until(engine.MillisecondsToNextTimer(nowMs, maxMs), nextBeatMs);
  // Gathered introductions not yet given a time are given one by the next pass.
  if (outboxesGathered) wait = until(wait, outboxesDueMs < 0 ? nowMs : outboxesDueMs);
  return wait;
}

void ClusterNode::Stop() { engine.Stop(); }

bool ClusterNode::TransfersInFlight() const { return engine.TransfersInFlight(); }

}  // namespace lattice::cluster
