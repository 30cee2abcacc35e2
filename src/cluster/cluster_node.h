// This tracker as one node of a cluster: the shared registry the request
// handler asks, the engine client it asks through, this node's inbox for
// introductions from other nodes, and its heartbeat.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cluster/cluster_service.h"
#include "cluster/cluster_setup.h"
#include "cluster/engine_client.h"
#include "cluster/node_table.h"
#include "cluster/shared_record.h"
#include "log/log.h"
#include "tracker/connection_tokens.h"
#include "tracker/shared_registry.h"

namespace lattice {

struct IoPortContext;

namespace cluster {

// Sharded channels per node inbox; a sender picks one by its own id, so
// the inboxes' traffic spreads over several slots and so primaries.
inline constexpr int kInboxChannels = 4;
std::string InboxChannel(std::string_view node, int index);

class ClusterNode final : public SharedRegistry, public ClusterService {
 public:
  ClusterNode(IoPortContext& loop, const ClusterSetup& setup);
  ~ClusterNode() override;

  // Once per loop pass, before the pass's sends start: the engine's timers,
  // the heartbeat, and the introductions this pass gathered for other nodes.
  SharedRegistry& Registry() override { return *this; }
  void RunPass(std::int64_t nowMs) override;
  int MillisecondsToNextTimer(std::int64_t nowMs, int maxMs) const override;
  // Gathered introductions count: shutdown publishes them before it stops.
  bool CallsInFlight() const override { return engine.InFlight() != 0 || outboxesGathered; }
  void Stop() override;
  bool TransfersInFlight() const override;

  bool Ask(Tracker& tracker, Connection& connection, const GetPeersRequest& request, const ShareId& share,
           const PeerId& id) override;
  SharedAnswer Answer(Connection& connection) override;
  EncodedMessage EncodeAnswer(Tracker& tracker, Connection& connection, const GetPeersRequest& request,
                              const PeerRecord& requester, const CompactAddress& address) override;
  void OnConnectionClosing(Tracker& tracker, Connection& connection) override;
  void WriteMetrics(std::string& out) const override;

 private:
  enum DegradedReason { kNotReady, kTimedOut, kUnreachable, kEngineError, kDegradedReasons };
  // Introductions gathered in this pass for one other node.
  struct Outbox {
    std::string node;
    std::string channel;  // the one of its inbox channels this node writes to
    std::string message;
  };
  // The other nodes one introduction goes to, with the epoch of each; their
  // tokens are in routeTokens at the same index.
  struct RouteGroups {
    std::string_view node[SharedRecord::kMaxParts];
    std::uint64_t epoch[SharedRecord::kMaxParts] = {};
    std::size_t count = 0;
  };

  static void OnAnnounceDone(void* owner, std::uint64_t cookie, CallOutcome outcome, const redisReply* reply);
  static void OnHeartbeatDone(void* owner, std::uint64_t cookie, CallOutcome outcome, const redisReply* reply);
  static void OnLibraryLoaded(void* owner, std::uint64_t primary, CallOutcome outcome, const redisReply* reply);
  static void OnInboxMessage(void* owner, std::string_view channel, std::string_view payload);

  // The description of the peer's connections on this node, `adding` among
  // them (null: none added); returns how many.
  std::size_t DescribeConnections(Tracker& tracker, const PeerId& id, Connection* adding, const Connection* leaving);
  void SetShareKeys(const ShareId& share);
  // Sends the introduction on this node's connections of a listed peer and
  // gathers those on other nodes into groups.
  void RouteIntroduction(Tracker& tracker, const SharedRecord& record, RouteGroups& groups);
  // Adds the introduction, once per other node, to that node's outbox.
  void QueueForOtherNodes(const RouteGroups& groups);
  void SendOutboxes();
  // Publishes the gathered introductions once they waited the inbox delay.
  void SendOutboxesWhenDue(std::int64_t nowMs);
  void Beat(std::int64_t nowMs);
  // Extends this node's parts of records that stay bound here without being
  // announced again, before the engine lets them expire.
  void TouchQuietRecords(Tracker& tracker, std::int64_t nowMs);
  // Touches one record when it is quiet long enough; false when the engine
  // takes no more calls now.
  bool TouchIfQuiet(Tracker& tracker, const ShareId& share, const PeerId& id, std::size_t& touches);
  // Loads the function library on every primary not loaded on yet.
  void LoadFunctionLibrary();
  // An error from a call: a primary without the library (restarted empty,
  // flushed) has it loaded again, on every primary, once a second at most.
  void OnCallError(std::string_view text);
  void CountDegraded(DegradedReason reason, const char* why);

  IoPortContext& loop;
  const ClusterSetup& setup;
  const std::string nodeId;
  const std::uint64_t epoch;
  std::string epochText;
  EngineClient engine;
  ConnectionTokens tokens;
  NodeTable nodes;
  std::int64_t nextBeatMs = 0;
  bool beatInFlight = false;
  // The walk over the token table that finds quiet records.
  std::size_t touchCursor = 0;
  std::int64_t nextTouchMs = 0;
  // Primaries given the function library, and the map refresh last checked.
  std::vector<const void*> loadedOn;
  std::uint64_t libraryCheckedAt = ~std::uint64_t{0};
  std::int64_t libraryReloadMs = 0;
  // The answer of the connection being resumed, while it is handled again.
  CallOutcome answerOutcome = CallOutcome::Unreachable;
  const redisReply* answer = nullptr;
  std::vector<Outbox> outboxes;
  // Whether introductions wait in the outboxes, and from when on the first
  // pass that saw them they are published (-1: not set yet).
  bool outboxesGathered = false;
  std::int64_t outboxesDueMs = -1;
  // Scratch, reused so a request allocates nothing once they have grown.
  std::string hashKey;
  std::string expiryKey;
  std::string connections;
  std::string introduction;
  std::string pwl;
  // The tokens of one introduction per destination node.
  std::vector<std::uint64_t> routeTokens[SharedRecord::kMaxParts];
  LogLimiter degradedLines;
  LogLimiter engineErrorLines;
  // Counters for the metrics page.
  std::uint64_t asked = 0;
  std::uint64_t degraded[kDegradedReasons] = {};
  std::uint64_t answersForClosed = 0;
  std::uint64_t inboxSent = 0;
  std::uint64_t inboxReceived = 0;
  std::uint64_t inboxMalformed = 0;
  std::uint64_t forwarded = 0;
  std::uint64_t delivered = 0;
  std::uint64_t undeliverable = 0;
  std::uint64_t unbindsSent = 0;
  std::uint64_t unbindsLost = 0;
  std::uint64_t heartbeats = 0;
  std::uint64_t touchesSent = 0;
  std::uint64_t touchesLost = 0;
};

}  // namespace cluster
}  // namespace lattice
