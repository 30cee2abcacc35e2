// The engine client's insides, shared by the files that implement it: the
// nodes and their connections, the calls under way, the slot map and the
// subscribed channels. Everything here belongs to the loop thread.
#pragma once

#include <hiredis/hiredis.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "cluster/engine_client.h"
#include "log/log.h"
#include "net/engine_connector.h"
#include "net/engine_link.h"

namespace lattice::cluster {

struct EngineState;
struct Node;

// Back-off between connects to one node, doubling from the first to the last.
inline constexpr std::int64_t kFirstBackoffMs = 100;
inline constexpr std::int64_t kLastBackoffMs = 5000;
inline constexpr int kConnectTimeoutMs = 1000;
// TRYAGAIN and CLUSTERDOWN: the wait before the call goes out again.
inline constexpr std::int64_t kRetryDelayMs = 25;
// A call redirected to a node whose connection is being made waits this
// long between looks.
inline constexpr std::int64_t kLinkWaitMs = 5;
inline constexpr int kMaxRedirects = 5;
inline constexpr std::int64_t kMinRefreshGapMs = 100;
// While a primary in the map has no connection up, the map is asked for this
// often: a failover shows only there.
inline constexpr std::int64_t kDegradedRefreshMs = 1000;
inline constexpr std::int64_t kPeriodicRefreshMs = 30000;
inline constexpr std::int64_t kRefreshTimeoutMs = 1000;
// Channels that could not be subscribed yet are looked at again this often.
inline constexpr std::int64_t kResubscribePollMs = 250;

enum class LinkStatus { Idle, Connecting, Handshake, Up, Down };

// What a reply on a connection answers, in the order the requests went out.
struct Expected {
  enum Kind : std::uint8_t { Call, Auth, Slots, Asking, Subscribe };
  Kind kind = Call;
  std::uint64_t id = 0;  // Call: the call; Slots: the refresh it belongs to
  std::int64_t sentMs = 0;
};

// One of a node's two connections: commands, or sharded subscriptions (a
// connection in subscribe mode carries nothing else).
struct Connection final : EngineLinkListener {
  Connection(EngineState& owner, Node& of, bool forSubscriptions) : state(owner), node(of), subscriber(forSubscriptions) {}
  ~Connection() override;
  void OnLinkBytes(const std::uint8_t* data, std::size_t length) override;
  void OnLinkReadDone() override;
  void OnLinkBroken() override;
  bool Carries() const { return status == LinkStatus::Handshake || status == LinkStatus::Up; }

  EngineState& state;
  Node& node;
  const bool subscriber;
  LinkStatus status = LinkStatus::Idle;
  std::unique_ptr<EngineLink> link;
  // Made anew with each link; freed only then, never while replies of the
  // old one are being handed out.
  redisReader* reader = nullptr;
  std::deque<Expected> expected;
  // The channel of each Subscribe in expected.
  std::deque<std::string> subscribing;
  std::uint64_t connectToken = 0;
  std::int64_t retryAtMs = 0;
  std::int64_t backoffMs = kFirstBackoffMs;
  // Connects failed in a row: only the first is logged.
  std::uint32_t failures = 0;
};

struct Node {
  Node(EngineState& state, EngineAddress where, std::string label)
      : address(std::move(where)), name(std::move(label)), command(state, *this, false), subscriber(state, *this, true) {}
  EngineAddress address;
  std::string name;  // host:port, for log lines
  bool primary = false;  // in the slot map
  bool seed = false;
  // Owns, or owned, a subscribed channel's slot.
  bool subscriberWanted = false;
  Connection command;
  Connection subscriber;
};

struct CallRecord {
  CallDone done = nullptr;
  std::uint64_t cookie = 0;
  std::string command;  // encoded, kept for a redirection or a retry
  std::uint16_t slot = 0;
  std::int64_t deadlineMs = 0;
  std::int64_t startUs = 0;
  int redirects = 0;
  Node* askNode = nullptr;  // set by ASK for the next send only
};

struct Channel {
  enum Status : std::uint8_t { Idle, Pending, Subscribed };
  Status status = Idle;
  Node* on = nullptr;
};

struct EngineState {
  EngineState(IoPortContext& loopContext, EngineOptions engineOptions, void* ownerValue, MessageHandler handler);
  ~EngineState();

  // engine_calls.cpp
  bool Call(std::string_view routingKey, int argc, const char* const* argv, const std::size_t* lengths, CallDone done,
            std::uint64_t cookie);
  void Transmit(Connection& c, std::uint64_t id, CallRecord& call, std::int64_t now);
  void Resend(std::uint64_t id, std::int64_t now);
  void Park(std::uint64_t id, std::int64_t at) { retries.emplace(at, id); }
  void OnCallReply(std::uint64_t id, const redisReply& reply, std::int64_t now);
  // Ends a call other than with a reply; the callback waits for RunTimers.
  void Fail(std::uint64_t id, CallOutcome outcome);
  void ExpireDeadlines(std::int64_t now);
  void RunRetries(std::int64_t now);
  void DrainReports();

  // engine_connections.cpp
  bool Wanted(const Connection& c) const;
  void StartConnect(Connection& c);
  void TakeConnects(std::int64_t now);
  void LinkMade(Connection& c, platform::SocketHandle handle, std::int64_t now);
  void MarkUp(Connection& c, std::int64_t now);
  void Break(Connection& c, const char* reason, std::int64_t now);
  void ScheduleRetry(Connection& c, std::int64_t now);
  void Reconnect(std::int64_t now);
  void BreakStalled(std::int64_t now);
  void Send(Connection& c, std::string_view bytes, std::int64_t now);
  void DrainReplies(Connection& c);
  void OnCommandReply(Connection& c, const redisReply& reply, std::int64_t now);
  void OnAuthReply(Connection& c, const redisReply& reply, std::int64_t now);
  void FreeRetired();
  std::int64_t StallLimitMs() const;

  // engine_routing.cpp
  Node& NodeFor(const std::string& host, std::uint16_t port);
  Connection* RefreshLink(std::int64_t now) const;
  std::int64_t NextRefreshMs(std::int64_t now) const;
  void MaybeRefresh(std::int64_t now);
  void OnSlots(Connection& c, std::uint64_t generation, const redisReply& reply, std::int64_t now);
  bool Degraded() const;

  // engine_pubsub.cpp
  void Resubscribe(std::int64_t now);
  void OnSubscriberReply(Connection& c, const redisReply& reply, std::int64_t now);
  void DropSubscriptions(Node& node, std::int64_t now);

  void Stop();
  bool TransfersInFlight() const;
  int MillisecondsToNextTimer(std::int64_t now, int maxMs) const;

  IoPortContext& loop;
  const EngineOptions options;
  void* const owner;
  const MessageHandler onMessage;
  EngineStats stats;
  std::unique_ptr<EngineConnector> connector;
  std::uint64_t nextToken = 1;
  std::map<std::string, std::unique_ptr<Node>> nodes;
  std::vector<Node*> slotOwner;
  bool mapKnown = false;

  std::unordered_map<std::uint64_t, CallRecord> calls;
  std::uint64_t nextCallId = 1;
  // Every call has the same time to live, so acceptance order is deadline
  // order. Entries of calls already ended are skipped.
  std::deque<std::pair<std::int64_t, std::uint64_t>> deadlines;
  std::multimap<std::int64_t, std::uint64_t> retries;
  struct Report {
    CallDone done;
    std::uint64_t cookie;
    CallOutcome outcome;
  };
  std::vector<Report> reports;
  std::vector<std::unique_ptr<EngineLink>> retired;

  bool refreshWanted = true;
  bool refreshInFlight = false;
  std::uint64_t refreshGeneration = 0;
  std::int64_t refreshStartedMs = 0;
  std::int64_t lastRefreshMs = -kPeriodicRefreshMs;
  std::size_t lastPrimaryCount = 0;
  std::size_t lastCovered = 0;

  std::map<std::string, Channel, std::less<>> channels;
  std::int64_t subscribeDueMs = INT64_MAX;

  LogLimiter linkLines;
  LogLimiter authLines;
  LogLimiter mapLines;
  std::minstd_rand jitter;
  bool stopped = false;
};

std::int64_t SteadyMicroseconds();

}  // namespace lattice::cluster
