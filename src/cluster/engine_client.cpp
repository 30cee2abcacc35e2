#include "cluster/engine_client.h"

#include <algorithm>
#include <chrono>

#include "cluster/engine_state.h"
#include "cluster/key_slot.h"

namespace lattice::cluster {

std::int64_t SteadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::int64_t SteadyMicroseconds() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::uint16_t KeySlot(std::string_view key) { return SlotOfKey(key); }

EngineState::EngineState(IoPortContext& loopContext, EngineOptions engineOptions, void* ownerValue, MessageHandler handler)
    : loop(loopContext),
      options(std::move(engineOptions)),
      owner(ownerValue),
      onMessage(handler),
      connector(std::make_unique<EngineConnector>(loopContext.port, kConnectTimeoutMs)),
      slotOwner(kSlotCount, nullptr),
      jitter(static_cast<std::uint32_t>(SteadyMicroseconds())) {
  for (const EngineAddress& seed : options.seeds) NodeFor(seed.host, seed.port).seed = true;
}

EngineState::~EngineState() {
  Stop();
  // A link whose transfers have not reported may still be written by the
  // system: leaking it at exit is safe, freeing it is not.
  for (auto& link : retired)
    if (link->TransfersInFlight() != 0) static_cast<void>(link.release());
}

void EngineState::Stop() {
  if (stopped) return;
  stopped = true;
  connector->Stop();
  for (auto& [name, node] : nodes) {
    for (Connection* c : {&node->command, &node->subscriber}) {
      if (c->link) {
        c->link->Close();
        retired.push_back(std::move(c->link));
      }
      c->expected.clear();
      c->subscribing.clear();
      c->status = LinkStatus::Idle;
    }
  }
  std::vector<std::uint64_t> owed;
  for (const auto& [id, call] : calls) owed.push_back(id);
  for (std::uint64_t id : owed) Fail(id, CallOutcome::Unreachable);
  deadlines.clear();
  retries.clear();
  DrainReports();
}

bool EngineState::TransfersInFlight() const {
  for (const auto& link : retired)
    if (link->TransfersInFlight() != 0) return true;
  for (const auto& [name, node] : nodes)
    for (const Connection* c : {&node->command, &node->subscriber})
      if (c->link && c->link->TransfersInFlight() != 0) return true;
  return false;
}

int EngineState::MillisecondsToNextTimer(std::int64_t now, int maxMs) const {
  if (stopped) return maxMs;
  if (!reports.empty() || connector->Waiting()) return 0;
  std::int64_t next = now + maxMs;
  if (!deadlines.empty()) next = std::min(next, deadlines.front().first);
  if (!retries.empty()) next = std::min(next, retries.begin()->first);
  next = std::min({next, NextRefreshMs(now), subscribeDueMs});
  const std::int64_t stall = StallLimitMs();
  for (const auto& [name, node] : nodes) {
    for (const Connection* c : {&node->command, &node->subscriber}) {
      if (c->status == LinkStatus::Idle && Wanted(*c)) return 0;
      if (c->status == LinkStatus::Down && Wanted(*c)) next = std::min(next, c->retryAtMs);
      if (!c->expected.empty()) next = std::min(next, c->expected.front().sentMs + stall);
    }
  }
  return static_cast<int>(std::clamp<std::int64_t>(next - now, 0, maxMs));
}

struct EngineClient::State : EngineState {
  using EngineState::EngineState;
};

EngineClient::EngineClient(IoPortContext& loop, EngineOptions options, void* owner, MessageHandler onMessage)
    : state(std::make_unique<State>(loop, std::move(options), owner, onMessage)) {}

EngineClient::~EngineClient() = default;

bool EngineClient::Call(std::string_view routingKey, int argc, const char* const* argv, const std::size_t* lengths,
                        CallDone done, std::uint64_t cookie) {
  return state->Call(routingKey, argc, argv, lengths, done, cookie);
}

void EngineClient::Subscribe(std::string channel) {
  if (state->stopped) return;
  state->channels.try_emplace(std::move(channel));
  state->subscribeDueMs = 0;
}

void EngineClient::RunTimers(std::int64_t nowMs) {
  EngineState& s = *state;
  if (!s.stopped) {
    s.TakeConnects(nowMs);
    s.ExpireDeadlines(nowMs);
    s.RunRetries(nowMs);
    s.BreakStalled(nowMs);
    s.MaybeRefresh(nowMs);
    s.Resubscribe(nowMs);
    s.Reconnect(nowMs);
  }
  s.FreeRetired();
  s.DrainReports();
}

int EngineClient::MillisecondsToNextTimer(std::int64_t nowMs, int maxMs) const {
  return state->MillisecondsToNextTimer(nowMs, maxMs);
}

bool EngineClient::Ready() const { return state->mapKnown && PrimariesConnected() == PrimariesKnown(); }

std::size_t EngineClient::PrimariesKnown() const {
  std::size_t n = 0;
  for (const auto& [name, node] : state->nodes) n += node->primary ? 1 : 0;
  return n;
}

std::size_t EngineClient::PrimariesConnected() const {
  std::size_t n = 0;
  for (const auto& [name, node] : state->nodes) n += node->primary && node->command.status == LinkStatus::Up ? 1 : 0;
  return n;
}

std::size_t EngineClient::InFlight() const { return state->calls.size(); }
const void* EngineClient::SlotOwner(std::uint16_t slot) const {
  return slot < state->slotOwner.size() ? state->slotOwner[slot] : nullptr;
}
const EngineStats& EngineClient::Stats() const { return state->stats; }
void EngineClient::Stop() { state->Stop(); }
bool EngineClient::TransfersInFlight() const { return state->TransfersInFlight(); }

}  // namespace lattice::cluster
