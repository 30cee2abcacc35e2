// The engine client of a build without hiredis: it never connects, so every
// call is refused and the tracker runs on its own.
#include <chrono>

#include "cluster/engine_client.h"
#include "cluster/key_slot.h"
#include "log/log.h"

namespace lattice::cluster {

struct EngineClient::State {
  EngineStats stats;
};

std::int64_t SteadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::uint16_t KeySlot(std::string_view key) { return SlotOfKey(key); }

EngineClient::EngineClient(IoPortContext&, EngineOptions, void*, MessageHandler) : state(std::make_unique<State>()) {
  Log("engine: cluster mode is not available in this build");
}
EngineClient::~EngineClient() = default;

bool EngineClient::Call(std::string_view, int, const char* const*, const std::size_t*, CallDone, std::uint64_t) {
  ++state->stats.refused;
  return false;
}

void EngineClient::Subscribe(std::string) {}
void EngineClient::RunTimers(std::int64_t) {}
int EngineClient::MillisecondsToNextTimer(std::int64_t, int maxMs) const { return maxMs; }
bool EngineClient::Ready() const { return false; }
std::size_t EngineClient::PrimariesKnown() const { return 0; }
std::size_t EngineClient::PrimariesConnected() const { return 0; }
std::size_t EngineClient::InFlight() const { return 0; }
const EngineStats& EngineClient::Stats() const { return state->stats; }
void EngineClient::Stop() {}
bool EngineClient::TransfersInFlight() const { return false; }

}  // namespace lattice::cluster
