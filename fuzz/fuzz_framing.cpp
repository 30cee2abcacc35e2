// Delivers the input as received bytes, in chunks, over a few connections,
// framing after each chunk as the transports do, and checks what framing
// consumed, the outbound rings, every message sent and the registry.
//
// Input layout:
//   byte 0  bits 0-1: connections - 1; bits 2-5: slot i is uTP when bit 2+i is set
//   byte 1  two bits per slot: address family (0 IPv4, 1 IPv6, 2 none, 3 IPv4)
//   byte 2  random source failure mask (bit k: the k-th refill, modulo 8, fails)
//   byte 3  schedule length (low 5 bits)
//   then the schedule, used cyclically, one byte per step:
//     bits 0-1 slot; bits 2-4 chunk: 0 the next frame whole, 1..6 a fixed size,
//     7 half the next frame; bit 5 drain part of the slot's outbound;
//     bit 6 drain all of it; bit 7 close the connection afterwards
//   then the byte stream itself.
#include <algorithm>
#include <memory>
#include <set>

#include "test_support.h"

using namespace lattice;
using namespace lattice::test;

// Aborting makes libFuzzer record the input as a crash.
#define FUZZ_CHECK(condition)                                                                 \
  do {                                                                                        \
    if (!(condition)) {                                                                       \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                           \
    }                                                                                         \
  } while (0)

namespace {

struct Slot {
  std::unique_ptr<FakeSocket> socket;
  int kind = Tcp, family = 0;
  std::string received;  // drained from outbound, not yet read as messages
  std::string shadow;    // what inbound should hold
};

class Run {
 public:
  explicit Run(const std::uint8_t* header) : slotCount(1 + (header[0] & 3)) {
    for (int i = 0; i < slotCount; ++i) {
      slots[i].kind = (header[0] >> (2 + i)) & 1 ? Utp : Tcp;
      slots[i].family = (header[1] >> (2 * i)) & 3;
      Open(i);
    }
  }

  void Deliver(int slot, const std::string& bytes) {
    Slot& sl = slots[slot];
    FakeSocket& s = *sl.socket;
    sl.shadow += bytes;
    s.Receive(bytes);
    const bool ok = FrameMessages(tracker, s);
    const std::size_t consumed = CheckFramed(sl.shadow, s.inbound, bytes.size(), ok, InputPaused(s));
    sl.shadow.erase(0, consumed);
    for (const PeerId& id : s.registrations) ids.insert(id);
    if (!ok) Close(slot);
  }

  void Drain(int slot, std::uint64_t budget) {
    Slot& sl = slots[slot];
    const ByteRing& ring = sl.socket->outbound;
    sl.received += sl.socket->TakeOutbound(budget);
    FUZZ_CHECK(ring.capacity <= ByteRing::kMaxCapacity && ring.count <= ring.capacity);
    FUZZ_CHECK(ring.count != 0 || ring.head == 0);
    std::size_t used = 0;
    while (sl.received.size() - used >= 4) {
      const std::uint64_t total = std::uint64_t{BigEndian32(sl.received.data() + used)} + 4;
      if (total > sl.received.size() - used) break;
      ParsedPeers m;
      FUZZ_CHECK(PeersReader(std::string_view(sl.received).substr(used, total)).Read(m));
      FUZZ_CHECK(m.time == static_cast<std::uint64_t>(kTime) && m.peers.size() <= 15);
      std::set<std::string> listed;
      for (const ParsedEntry& e : m.peers) {
        FUZZ_CHECK(listed.insert(e.p).second);
        // Every listed peer was announced; one left unbound by a failed
        // selection was never seen on a connection.
        FUZZ_CHECK(ids.count(ToPeerId(e.p)) == 1 || ScriptedRandom::failed);
      }
      used += total;
    }
    sl.received.erase(0, used);
    // The ring takes whole messages only, so an emptied ring ends on a boundary.
    if (ring.count == 0) FUZZ_CHECK(sl.received.empty());
  }

  // A transport frames again once a held reply has gone into the ring.
  void Resume(int slot) {
    FakeSocket& s = *slots[slot].socket;
    if (!s.closed && InputPaused(s) && ReleaseHeldReply(tracker, s)) Deliver(slot, "");
  }

  void Close(int slot) {
    Drain(slot, UINT64_MAX);
    Slot& sl = slots[slot];
    sl.socket->Close(tracker);
    // Kept alive, so that a reference left in the registry is caught by the
    // sanitizer's use of a closed object rather than hidden by a reused address.
    closed.push_back(std::move(sl.socket));
    sl.kind = sl.kind == Tcp ? Utp : Tcp;
    Open(slot);
  }

  void CloseAll() {
    for (int i = 0; i < slotCount; ++i) {
      Drain(i, UINT64_MAX);
      slots[i].socket->Close(tracker);
    }
    for (const PeerId& id : ids) {
      const std::vector<Connection*>* connections = tracker.registry.FindPeerConnections(id);
      FUZZ_CHECK(connections == nullptr || (ScriptedRandom::failed && connections->empty()));
      FUZZ_CHECK(tracker.registry.FindPeerShares(id) == nullptr);
    }
    // Only a record left behind by a failed selection outlives every connection.
    FUZZ_CHECK(tracker.registry.ShareCount() == 0 || ScriptedRandom::failed);
  }

  const int slotCount;
  Tracker tracker;

 private:
  void Open(int slot) {
    Slot& sl = slots[slot];
    sl.socket = std::make_unique<FakeSocket>(sl.kind);
    sl.received.clear();
    sl.shadow.clear();
    const auto host = static_cast<std::uint8_t>(1 + slot + 4 * (closed.size() % 60));
    const std::string v4 = V4(127, 0, 0, host, static_cast<std::uint16_t>(40000 + host));
    if (sl.family == 1) sl.socket->SetAddress(std::string(15, '\0') + v4.substr(3));  // ::host
    if (sl.family == 0 || sl.family == 3) sl.socket->SetAddress(v4);
  }

  // Only whole messages are consumed, in order, up to the first incomplete or
  // oversized one, or up to a message boundary behind a held reply; the rest
  // stays as it was. Returns the number of bytes consumed.
  static std::size_t CheckFramed(const std::string& before, const std::vector<std::uint8_t>& after, std::size_t added,
                                 bool ok, bool paused) {
    std::size_t offset = 0;
    bool oversized = false;
    std::vector<std::size_t> boundaries{0};
    while (before.size() - offset > 4) {
      const std::uint32_t body = BigEndian32(before.data() + offset);
      if ((oversized = body > kMaxMessageBody) || std::uint64_t{body} + 4 > before.size() - offset) break;
      boundaries.push_back(offset += body + 4);
    }
    FUZZ_CHECK(after.size() <= before.size());
    const std::size_t consumed = before.size() - after.size();
    // Bytes left in place were compared when they arrived; only a move to the
    // front or the new bytes can differ.
    const std::size_t from = consumed != 0 ? 0 : after.size() - std::min(added, after.size());
    FUZZ_CHECK(from == after.size() || std::memcmp(after.data() + from, before.data() + consumed + from,
                                                   after.size() - from) == 0);
    if (paused) {
      FUZZ_CHECK(ok && std::find(boundaries.begin(), boundaries.end(), consumed) != boundaries.end());
    } else {
      FUZZ_CHECK(ok == !oversized && consumed == offset);
    }
    return consumed;
  }

  Slot slots[4];
  std::vector<std::unique_ptr<FakeSocket>> closed;
  std::set<PeerId> ids;
};

std::size_t ChunkLength(int sizeClass, const std::uint8_t* stream, std::size_t remaining) {
  static constexpr std::size_t kFixed[] = {0, 1, 3, 7, 16, 61, 256};
  if (sizeClass >= 1 && sizeClass <= 6) return std::min(kFixed[sizeClass], remaining);
  if (remaining < 4) return remaining;
  std::uint64_t frame = std::uint64_t{BigEndian32(stream)} + 4;
  if (sizeClass == 7) frame = std::max<std::uint64_t>(1, frame / 2);
  return static_cast<std::size_t>(std::min<std::uint64_t>(frame, remaining));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  static const bool quiet = [] {  // every new binding logs a line
    SetLogStreamForTesting(std::fopen("/dev/null", "w"));
    return true;
  }();
  (void)quiet;
  std::uint64_t seed = 1469598103934665603ull;
  for (std::size_t i = 0; i < size; ++i) seed = (seed ^ data[i]) * 1099511628211ull;
  ScriptedRandom::Reset(seed, data[2]);
  SetLoopClock(kTime);
  {
    Run run(data);
    run.tracker.now = kTime;
    run.tracker.registry.SetRandomSource(&ScriptedRandom::Fill);
    const std::size_t scheduleLength = std::min<std::size_t>(data[3] & 31, size - 4);
    const std::uint8_t* schedule = data + 4;
    const std::uint8_t* stream = schedule + scheduleLength;
    const std::size_t streamLength = size - 4 - scheduleLength;
    for (std::size_t step = 0, at = 0; at < streamLength; ++step) {
      const std::uint8_t e = scheduleLength == 0 ? 0 : schedule[step % scheduleLength];
      const int slot = (e & 3) % run.slotCount;
      const std::size_t length = ChunkLength((e >> 2) & 7, stream + at, streamLength - at);
      run.Deliver(slot, std::string(reinterpret_cast<const char*>(stream + at), length));
      at += length;
      if (e & 0x20) run.Drain(slot, 1 + (at * 131 + step * 17) % 1500);
      if (e & 0x40) run.Drain(slot, UINT64_MAX);
      if (e & 0x60) run.Resume(slot);
      if (e & 0x80) run.Close(slot);
    }
    run.CloseAll();
  }
  return 0;
}
