// Calls: accepted, sent to the slot's primary, redirected, retried, and
// ended exactly once.
#include <algorithm>

#include "cluster/engine_state.h"
#include "cluster/key_slot.h"
#include "cluster/slot_map.h"

namespace lattice::cluster {
namespace {

constexpr std::string_view kAsking = "*1\r\n$6\r\nASKING\r\n";

void CountLatency(EngineStats& stats, std::int64_t elapsedUs) {
  const auto us = static_cast<std::uint64_t>(std::max<std::int64_t>(elapsedUs, 0));
  std::size_t bucket = 0;
  while (bucket < EngineStats::kLatencyBuckets - 1 && us > EngineStats::kLatencyBoundsUs[bucket]) ++bucket;
  ++stats.latency[bucket];
  stats.latencySumUs += us;
}

}  // namespace

bool EngineState::Call(std::string_view routingKey, int argc, const char* const* argv, const std::size_t* lengths,
                 CallDone done, std::uint64_t cookie) {
  const std::uint16_t slot = SlotOfKey(routingKey);
  Node* node = mapKnown ? slotOwner[slot] : nullptr;
  // A node whose unanswered requests pile up (frozen, or far behind) takes
  // no more until it answers or its connection is remade.
  if (stopped || node == nullptr || node->command.status != LinkStatus::Up || calls.size() >= options.maxInFlight ||
      node->command.expected.size() >= options.maxInFlight) {
    ++stats.refused;
    return false;
  }
  char* encoded = nullptr;
  const int length = redisFormatCommandArgv(&encoded, argc, const_cast<const char**>(argv), lengths);
  if (length < 0) {
    ++stats.refused;
    return false;
  }
  const std::int64_t now = SteadyMilliseconds();
  const std::uint64_t id = nextCallId++;
  CallRecord& call = calls[id];
  call.done = done;
  call.cookie = cookie;
  call.command.assign(encoded, static_cast<std::size_t>(length));
  redisFreeCommand(encoded);
  call.slot = slot;
  call.deadlineMs = now + options.deadlineMs;
  call.startUs = SteadyMicroseconds();
  deadlines.emplace_back(call.deadlineMs, id);
  ++stats.calls;
  // Should the send fail, the broken connection ends this call too; its
  // callback waits for RunTimers, never runs inside Call.
  Transmit(node->command, id, call, now);
  return true;
}

void EngineState::Transmit(Connection& c, std::uint64_t id, CallRecord& call, std::int64_t now) {
  if (call.askNode != nullptr) {
    call.askNode = nullptr;
    c.expected.push_back({Expected::Asking, 0, now});
    std::string bytes(kAsking);
    bytes += call.command;
    c.expected.push_back({Expected::Call, id, now});
    Send(c, bytes, now);
    return;
  }
  c.expected.push_back({Expected::Call, id, now});
  Send(c, call.command, now);
}

void EngineState::Resend(std::uint64_t id, std::int64_t now) {
  auto it = calls.find(id);
  if (it == calls.end()) return;
  CallRecord& call = it->second;
  Node* target = call.askNode != nullptr ? call.askNode : slotOwner[call.slot];
  if (target == nullptr) {
    Park(id, now + kLinkWaitMs);  // a hole in the map: until it mends or the deadline
    return;
  }
  switch (target->command.status) {
    case LinkStatus::Up:
      Transmit(target->command, id, call, now);
      break;
    case LinkStatus::Down:
      Fail(id, CallOutcome::Unreachable);
      break;
    default:
      // Being connected: a loopback connect takes well under a deadline.
      Park(id, now + kLinkWaitMs);
      break;
  }
}

void EngineState::OnCallReply(std::uint64_t id, const redisReply& reply, std::int64_t now) {
  auto it = calls.find(id);
  if (it == calls.end()) return;  // timed out: the late answer is dropped
  CallRecord& call = it->second;
  if (reply.type == REDIS_REPLY_ERROR) {
    const std::string_view error(reply.str, reply.len);
    Redirect redirect;
    if (ParseRedirect(error, redirect)) {
      if (++call.redirects > kMaxRedirects) {
        Fail(id, CallOutcome::Unreachable);
        return;
      }
      ++stats.redirects;
      Node& target = NodeFor(redirect.host, redirect.port);
      if (redirect.ask) {
        call.askNode = &target;
      } else {
        // The one slot is fixed now; the rest of a reshard shows in the map.
        slotOwner[redirect.slot] = &target;
        target.primary = true;
        refreshWanted = true;
      }
      Resend(id, now);
      return;
    }
    const bool clusterDown = error.starts_with("CLUSTERDOWN");
    if (clusterDown || error.starts_with("TRYAGAIN")) {
      ++stats.retries;
      if (clusterDown) refreshWanted = true;
      Park(id, now + kRetryDelayMs);
      return;
    }
  }
  CountLatency(stats, SteadyMicroseconds() - call.startUs);
  const CallDone done = call.done;
  const std::uint64_t cookie = call.cookie;
  calls.erase(it);
  if (done != nullptr) done(owner, cookie, CallOutcome::Replied, &reply);
}

void EngineState::Fail(std::uint64_t id, CallOutcome outcome) {
  auto it = calls.find(id);
  if (it == calls.end()) return;
  ++(outcome == CallOutcome::TimedOut ? stats.timedOut : stats.unreachable);
  reports.push_back({it->second.done, it->second.cookie, outcome});
  calls.erase(it);
}

void EngineState::ExpireDeadlines(std::int64_t now) {
  while (!deadlines.empty() && deadlines.front().first <= now) {
    Fail(deadlines.front().second, CallOutcome::TimedOut);
    deadlines.pop_front();
  }
}

void EngineState::RunRetries(std::int64_t now) {
  // Only what was due on entry: a call parked again waits for a later pass.
  std::vector<std::uint64_t> due;
  while (!retries.empty() && retries.begin()->first <= now) {
    due.push_back(retries.begin()->second);
    retries.erase(retries.begin());
  }
  for (std::uint64_t id : due) Resend(id, now);
}

void EngineState::DrainReports() {
  // A callback may make calls whose failures queue more reports.
  while (!reports.empty()) {
    std::vector<Report> batch;
    batch.swap(reports);
    for (const Report& r : batch)
      if (r.done != nullptr) r.done(owner, r.cookie, r.outcome, nullptr);
  }
}

}  // namespace lattice::cluster
