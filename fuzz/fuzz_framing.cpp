// Delivers the input as received bytes, in chunks, over a few connections,
// framing after each chunk as the transports do, and checks the buffers and
// the registry between steps.
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
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fake_socket.h"
#include "fuzz_support.h"
#include "log/loop_clock.h"
#include "tracker/message_framing.h"

using namespace lattice;
using namespace lattice_fuzz;

namespace {

constexpr std::int64_t kTime = 1700000000;
constexpr int kMaxSlots = 4;

struct Slot {
  std::unique_ptr<FakeSocket> socket;
  int kind = Tcp;
  int family = 0;
  std::string received;              // drained from outbound, not yet read as messages
  std::vector<std::uint8_t> shadow;  // what inbound should hold
};

std::string ShareKey(const ShareId& s) { return Bytes(s.data(), s.length); }

class Run {
 public:
  explicit Run(const std::uint8_t* header) {
    slotCount = 1 + (header[0] & 3);
    for (int i = 0; i < slotCount; ++i) {
      slots[i].kind = (header[0] >> (2 + i)) & 1 ? Utp : Tcp;
      slots[i].family = (header[1] >> (2 * i)) & 3;
      Open(i);
    }
  }

  // Returns whether the step consumed or closed anything.
  bool Deliver(int slot, const std::uint8_t* bytes, std::size_t length) {
    Slot& sl = slots[slot];
    FakeSocket& s = *sl.socket;
    sl.shadow.insert(sl.shadow.end(), bytes, bytes + length);
    s.inbound.insert(s.inbound.end(), bytes, bytes + length);
    bool ok = FrameMessages(s);
    std::size_t consumed = CheckFramed(sl.shadow, s.inbound, ok, length, InputPaused(s));
    if (ok && !InputPaused(s) && s.inbound.size() > 4)  // nothing whole is left behind
      FUZZ_CHECK(static_cast<std::uint64_t>(BigEndian32(s.inbound.data())) + 4 > s.inbound.size());
    sl.shadow.erase(sl.shadow.begin(), sl.shadow.begin() + static_cast<std::ptrdiff_t>(consumed));
    Collect(s);
    if (!ok) Close(slot);
    return consumed != 0 || !ok;
  }

  // Takes bytes off the ring as a transport would, in contiguous pieces.
  void Drain(int slot, std::uint64_t budget) {
    Slot& sl = slots[slot];
    ByteRing& ring = sl.socket->outbound;
    while (budget != 0 && ring.count != 0) {
      std::size_t piece = ring.ContiguousSize();
      FUZZ_CHECK(piece != 0 && piece <= ring.count && ring.head + piece <= ring.capacity);
      std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(piece, budget));
      sl.received.append(reinterpret_cast<const char*>(ring.ContiguousData()), n);
      ring.Consume(n);
      budget -= n;
    }
    CheckRing(ring);
    ReadReceived(sl);
    // The ring takes whole messages only, so an emptied ring ends on a boundary.
    if (ring.count == 0) FUZZ_CHECK(sl.received.empty());
  }

  // A transport frames again once a held reply has gone into the ring.
  bool Resume(int slot) {
    FakeSocket& s = *slots[slot].socket;
    if (s.closed || !InputPaused(s) || !ReleaseHeldReply(s)) return false;
    return Deliver(slot, nullptr, 0);
  }

  void Close(int slot) {
    Drain(slot, UINT64_MAX);
    Slot& sl = slots[slot];
    Collect(*sl.socket);
    sl.socket->Close();
    // Kept alive so that a reference left in the registry is seen below
    // rather than hidden by a reused address.
    graveyard.push_back(std::move(sl.socket));
    sl.kind = sl.kind == Tcp ? Utp : Tcp;
    Open(slot);
  }

  void CloseAll() {
    for (int i = 0; i < slotCount; ++i) {
      Drain(i, UINT64_MAX);
      Collect(*slots[i].socket);
      slots[i].socket->Close();
    }
    CheckRegistry();
    for (const PeerId& id : ids) {
      const std::vector<Socket*>* connections = FindPeerConnections(id);
      FUZZ_CHECK(connections == nullptr || (Random().failed && connections->empty()));
      FUZZ_CHECK(FindPeerShares(id) == nullptr);
    }
    // A record left behind by a failed selection was never bound, so only
    // then may a share outlive every connection; otherwise it is erased.
    if (!Random().failed) {
      for (const auto& [key, share] : shares) FUZZ_CHECK(FindShareRecords(share) == nullptr);
    }
  }

  void CheckRegistry() {
    std::map<std::string, std::map<PeerId, int>> recordCounts;
    for (const auto& [key, share] : shares) {
      const std::vector<PeerRecord*>* records = FindShareRecords(share);
      if (records == nullptr) continue;  // emptied, so erased
      FUZZ_CHECK(!records->empty());
      auto& counts = recordCounts[key];
      for (const PeerRecord* r : *records) FUZZ_CHECK(++counts[r->id] == 1);  // one record per id
    }
    for (int i = 0; i < slotCount; ++i) {
      const FakeSocket& s = *slots[i].socket;
      CheckRing(s.outbound);
      if (s.closed) continue;
      for (const PeerId& id : s.registrations) {
        const std::vector<Socket*>* connections = FindPeerConnections(id);
        FUZZ_CHECK(connections != nullptr);
        FUZZ_CHECK(std::count(connections->begin(), connections->end(), &s) == 1);
      }
    }
    for (const PeerId& id : ids) {
      const std::vector<Socket*>* connections = FindPeerConnections(id);
      const std::vector<ShareId>* peerShares = FindPeerShares(id);
      // An empty list means no connections too: the encoder may leave one
      // behind for a peer that was never bound.
      bool connected = connections != nullptr && !connections->empty();
      FUZZ_CHECK(connected == (peerShares != nullptr));
      if (!connected) continue;
      for (const Socket* s : *connections) {
        FUZZ_CHECK(!s->closed);
        FUZZ_CHECK(s->registrations.count(id) == 1);
        FUZZ_CHECK(std::count(connections->begin(), connections->end(), s) == 1);
      }
      for (const ShareId& share : *peerShares) {
        FUZZ_CHECK(std::count(peerShares->begin(), peerShares->end(), share) == 1);
        auto counts = recordCounts.find(ShareKey(share));
        FUZZ_CHECK(counts != recordCounts.end());
        FUZZ_CHECK(counts->second[id] == 1);  // a bound peer is in each of its shares
      }
    }
  }

  int slotCount = 1;

 private:
  void Open(int slot) {
    Slot& sl = slots[slot];
    sl.socket = std::make_unique<FakeSocket>(sl.kind);
    sl.received.clear();
    sl.shadow.clear();
    std::uint8_t host = static_cast<std::uint8_t>(1 + slot + 4 * (graveyard.size() % 60));
    if (sl.family == 0 || sl.family == 3) {
      const std::uint8_t v4[4] = {127, 0, 0, host};
      SetIpv4(sl.socket->peerAddress, v4, static_cast<std::uint16_t>(40000 + host));
    } else if (sl.family == 1) {
      std::uint8_t v6[16] = {};
      v6[15] = host;
      SetIpv6(sl.socket->peerAddress, v6, static_cast<std::uint16_t>(40000 + host));
    }
  }

  // Remembers every id and share seen, so later checks can look them up.
  void Collect(const FakeSocket& s) {
    for (const PeerId& id : s.registrations) {
      ids.insert(id);
      if (const std::vector<ShareId>* peerShares = FindPeerShares(id)) {
        for (const ShareId& share : *peerShares) shares.emplace(ShareKey(share), share);
      }
    }
  }

  static void CheckRing(const ByteRing& ring) {
    FUZZ_CHECK(ring.capacity <= ByteRing::kMaxCapacity);
    FUZZ_CHECK(ring.count <= ring.capacity);
    FUZZ_CHECK(ring.count != 0 || ring.head == 0);
    FUZZ_CHECK(ring.head < ring.capacity || ring.count == 0);
  }

  // Only whole messages are consumed, in order, up to the first incomplete or
  // oversized one; the rest stays as it was. `before` is what inbound held
  // before framing; returns the number of bytes that had to be consumed.
  static std::size_t CheckFramed(const std::vector<std::uint8_t>& before, const std::vector<std::uint8_t>& after,
                                 bool ok, std::size_t added, bool paused) {
    std::size_t offset = 0;
    bool oversized = false;
    std::vector<std::size_t> boundaries{0};
    while (before.size() - offset > 4) {
      std::uint32_t body = BigEndian32(before.data() + offset);
      if (body > kMaxMessageBody) {
        oversized = true;
        break;
      }
      if (static_cast<std::uint64_t>(body) + 4 > before.size() - offset) break;
      offset += body + 4;
      boundaries.push_back(offset);
    }
    if (paused) {
      // Handling stopped behind a held reply, on a message boundary no later
      // than where it would have stopped, before any oversized message.
      FUZZ_CHECK(ok && after.size() <= before.size());
      const std::size_t consumed = before.size() - after.size();
      FUZZ_CHECK(std::find(boundaries.begin(), boundaries.end(), consumed) != boundaries.end());
      FUZZ_CHECK(std::equal(after.begin(), after.end(), before.begin() + static_cast<std::ptrdiff_t>(consumed)));
      return consumed;
    }
    FUZZ_CHECK(ok == !oversized);
    FUZZ_CHECK(after.size() == before.size() - offset);
    // Untouched bytes were already compared when they arrived; only a move
    // to the front or the new bytes can have changed anything.
    std::size_t from = offset != 0 ? 0 : after.size() - std::min(added, after.size());
    FUZZ_CHECK(std::equal(after.begin() + static_cast<std::ptrdiff_t>(from), after.end(),
                          before.begin() + static_cast<std::ptrdiff_t>(offset + from)));
    return offset;
  }

  void ReadReceived(Slot& sl) {
    std::size_t used = 0;
    while (sl.received.size() - used >= 4) {
      const auto* p = reinterpret_cast<const std::uint8_t*>(sl.received.data()) + used;
      std::uint64_t total = static_cast<std::uint64_t>(BigEndian32(p)) + 4;
      if (total > sl.received.size() - used) break;
      PeersMessage m = ReadPeersMessage(p, static_cast<std::size_t>(total));
      FUZZ_CHECK(m.time == static_cast<std::uint64_t>(kTime));
      FUZZ_CHECK(shares.count(m.share) == 1);  // only shares that someone was bound in
      for (const Entry& e : m.peers) {
        // Every listed peer was announced on some connection.
        FUZZ_CHECK(ids.count(PeerId::From(reinterpret_cast<const std::uint8_t*>(e.p.data()))) == 1 ||
                   Random().failed);
      }
      used += static_cast<std::size_t>(total);
    }
    sl.received.erase(0, used);
  }

  Slot slots[kMaxSlots];
  std::vector<std::unique_ptr<FakeSocket>> graveyard;
  std::set<PeerId> ids;
  std::map<std::string, ShareId> shares;
};

std::size_t ChunkLength(int sizeClass, const std::uint8_t* stream, std::size_t remaining) {
  static constexpr std::size_t kFixed[] = {0, 1, 3, 7, 16, 61, 256};
  if (sizeClass >= 1 && sizeClass <= 6) return std::min(kFixed[sizeClass], remaining);
  if (remaining < 4) return remaining;
  std::uint64_t frame = static_cast<std::uint64_t>(BigEndian32(stream)) + 4;
  if (sizeClass == 7) frame = std::max<std::uint64_t>(1, frame / 2);
  return static_cast<std::size_t>(std::min<std::uint64_t>(frame, remaining));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  StartInput(data, size, data[2]);
  SetLoopClock(kTime);
  {
    Run run(data);
    std::size_t scheduleLength = data[3] & 31;
    if (scheduleLength > size - 4) scheduleLength = size - 4;
    const std::uint8_t* schedule = data + 4;
    const std::uint8_t* stream = schedule + scheduleLength;
    const std::size_t streamLength = size - 4 - scheduleLength;

    std::size_t at = 0;
    for (std::size_t step = 0; at < streamLength; ++step) {
      std::uint8_t e = scheduleLength == 0 ? 0 : schedule[step % scheduleLength];
      int slot = (e & 3) % run.slotCount;
      std::size_t length = ChunkLength((e >> 2) & 7, stream + at, streamLength - at);
      bool changed = run.Deliver(slot, stream + at, length);
      at += length;
      if (e & 0x20) run.Drain(slot, 1 + (at * 131 + step * 17) % 1500);
      if (e & 0x40) run.Drain(slot, UINT64_MAX);
      if ((e & 0x60) != 0) changed = run.Resume(slot) || changed;
      if (e & 0x80) {
        run.Close(slot);
        changed = true;
      }
      // The registry changes only when a message was handled or a connection closed.
      if (changed) run.CheckRegistry();
    }
    run.CloseAll();
  }
  ResetRegistry();
  return 0;
}
