// The tracker's client of a Redis Cluster: one connection per cluster node,
// each a socket in the loop's own completion port, requests routed by the
// slot of their key, redirections followed, the slot map refreshed, broken
// connections re-made with back-off. Everything runs on the loop thread
// except the blocking connects, which a connector thread makes and hands
// over as the accept threads hand over clients.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct redisReply;

namespace lattice {

struct IoPortContext;

namespace cluster {

struct EngineAddress {
  std::string host;  // a numeric IPv4 or IPv6 address, or a name
  std::uint16_t port = 0;
};

struct EngineOptions {
  std::vector<EngineAddress> seeds;
  std::string user;      // empty: AUTH with the password alone
  std::string password;  // empty: no AUTH
  // A call not answered within this long is reported TimedOut.
  std::int64_t deadlineMs = 200;
  // Calls sent and not yet answered or timed out, over all nodes.
  std::size_t maxInFlight = 4096;
};

enum class CallOutcome {
  Replied,      // reply is the engine's answer (it may be an error reply)
  TimedOut,     // past the deadline; a late answer is dropped
  Unreachable,  // the connection carrying it broke, or redirections ran out
};

// Called once per accepted call, from the loop thread, never from inside
// Call. reply is null unless outcome is Replied, and lives only for the call.
using CallDone = void (*)(void* owner, std::uint64_t cookie, CallOutcome outcome, const redisReply* reply);
// A message on a subscribed sharded channel.
using MessageHandler = void (*)(void* owner, std::string_view channel, std::string_view payload);

struct EngineStats {
  std::uint64_t calls = 0;          // accepted by Call
  std::uint64_t refused = 0;        // Call returned false
  std::uint64_t timedOut = 0;
  std::uint64_t unreachable = 0;
  std::uint64_t redirects = 0;      // MOVED and ASK followed
  std::uint64_t retries = 0;        // TRYAGAIN and CLUSTERDOWN retried
  std::uint64_t slotMapRefreshes = 0;
  std::uint64_t connectsMade = 0;
  std::uint64_t connectsFailed = 0;
  std::uint64_t bytesSent = 0;
  std::uint64_t bytesReceived = 0;
  std::uint64_t messagesReceived = 0;  // on subscribed channels
  // Answered calls by latency, upper bounds in microseconds: the last
  // bucket counts everything above the one before it.
  static constexpr std::size_t kLatencyBuckets = 12;
  static constexpr std::uint64_t kLatencyBoundsUs[kLatencyBuckets - 1] = {100,   250,   500,    1000,   2500,  5000,
                                                                          10000, 25000, 50000, 100000, 250000};
  std::uint64_t latency[kLatencyBuckets] = {};
  std::uint64_t latencySumUs = 0;
};

class EngineClient {
 public:
  EngineClient(IoPortContext& loop, EngineOptions options, void* owner, MessageHandler onMessage);
  ~EngineClient();
  EngineClient(const EngineClient&) = delete;
  EngineClient& operator=(const EngineClient&) = delete;

  // Sends a command to the primary owning the slot of routingKey (its hash
  // tag honoured). The arguments are encoded at once. False, with nothing
  // sent and no callback to come, when the slot map is not known yet, the
  // slot's node has no connection up, or maxInFlight calls are out. done may
  // be null for a call whose answer nobody needs; it still counts in flight.
  bool Call(std::string_view routingKey, int argc, const char* const* argv, const std::size_t* lengths,
            CallDone done, std::uint64_t cookie);

  // Subscribes (SSUBSCRIBE) on the node owning the channel's slot, and again
  // after a reconnect or when the slot moves; messages go to onMessage.
  void Subscribe(std::string channel);

  // Once per loop pass: deadlines, connections handed over by the connector,
  // reconnects and slot-map refreshes that are due, and the callbacks of
  // calls that ended other than with a reply. nowMs: SteadyMilliseconds(),
  // the clock Call stamps deadlines with.
  void RunTimers(std::int64_t nowMs);
  // How long the loop may wait before RunTimers is due again (a deadline or
  // a reconnect); at most maxMs.
  int MillisecondsToNextTimer(std::int64_t nowMs, int maxMs) const;

  // Whether the slot map is known and every primary in it has a connection up.
  bool Ready() const;
  // Primaries in the slot map and how many have a connection up, for metrics.
  std::size_t PrimariesKnown() const;
  std::size_t PrimariesConnected() const;
  std::size_t InFlight() const;
  // Which primary owns the slot, as an identity to compare (null: unknown).
  const void* SlotOwner(std::uint16_t slot) const;
  const EngineStats& Stats() const;

  // Closes every connection (answers nobody: callbacks still owed are made
  // with Unreachable) and stops the connector thread.
  void Stop();
  // Transfers started on the port and not yet reported.
  bool TransfersInFlight() const;

 private:
  struct State;
  std::unique_ptr<State> state;
};

// Milliseconds of the steady clock the client keeps its time by.
std::int64_t SteadyMilliseconds();

// The hash slot of a key, as Redis Cluster computes it: CRC16 of the part
// between the first '{' and the next '}' when that part is not empty.
std::uint16_t KeySlot(std::string_view key);

}  // namespace cluster
}  // namespace lattice
