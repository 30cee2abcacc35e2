// The registry against a plain model of its rules, driven side by side by
// seeded random operations. The model is deliberately naive: every table is a
// vector scanned from the front, so that the real registry's indexes, hashes
// and shortcuts must reproduce exactly the orders of the simple steps. A
// closing connection unbinds its ids in announcement order, so share order
// (the order of small replies) is the same in every run.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"

namespace lattice::test {
namespace {

// The random bytes both sides see: the same seed gives the same stream, and
// every fifth fill fails, so the failure path is part of the sequence.
struct Stream {
  std::uint64_t state = 0;
  int fills = 0;

  bool Fill(std::uint8_t* buffer, std::size_t size) {
    if (++fills % 5 == 3) return false;
    for (std::size_t i = 0; i < size; ++i) {
      std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
      buffer[i] = static_cast<std::uint8_t>(z ^ (z >> 31));
    }
    return true;
  }
};

Stream realStream;
bool RealFill(std::uint8_t* buffer, std::size_t size) { return realStream.Fill(buffer, size); }

struct ModelRecord {
  std::string id;
  std::uint16_t lp = 0, up = 0;  // host order
  std::uint32_t pv = 0;
  std::string la, laList;
};

template <typename T>
void RemoveByMovingLast(std::vector<T>& list, std::size_t i) {
  list[i] = list.back();
  list.pop_back();
}

struct Model {
  std::map<std::string, std::vector<ModelRecord>> shares;
  std::map<std::string, std::vector<std::string>> peerShares;
  std::map<std::string, std::vector<const Connection*>> peerConnections;
  std::map<const Connection*, std::vector<std::string>> registrations;  // in announcement order
  Stream stream;
  std::uint8_t pool[1024] = {};
  std::size_t position = sizeof pool;
  std::size_t lastCandidates = 0;

  void Register(const std::string& share, const ModelRecord& incoming) {
    auto& list = shares[share];
    auto at = std::find_if(list.begin(), list.end(), [&](const ModelRecord& r) { return r.id == incoming.id; });
    at == list.end() ? list.push_back(incoming) : void(*at = incoming);
  }

  void Withdraw(const std::string& share, const std::string& id) {
    auto& list = shares[share];
    auto at = std::find_if(list.begin(), list.end(), [&](const ModelRecord& r) { return r.id == id; });
    if (at != list.end()) RemoveByMovingLast(list, static_cast<std::size_t>(at - list.begin()));
    if (list.empty()) shares.erase(share);
  }

  bool Select(const std::string& share, const std::string& requester, const std::set<std::string>& pwl,
              std::vector<std::string>& out) {
    out.clear();
    std::vector<std::string> candidates;
    for (const auto& r : shares[share])
      if (pwl.empty() || pwl.count(r.id) != 0) candidates.push_back(r.id);
    const std::size_t n = candidates.size();
    lastCandidates = n;
    if (n <= 15) {
      for (const auto& c : candidates)
        if (c != requester) out.push_back(c);
      return true;
    }
    std::vector<std::size_t> drawn;
    while (drawn.size() < 15) {
      if (position == sizeof pool) {
        if (!stream.Fill(pool, sizeof pool)) return false;
        position = 0;
      }
      std::uint64_t r = 0;
      for (int b = 0; b < 8; ++b) r |= static_cast<std::uint64_t>(pool[position + static_cast<std::size_t>(b)]) << (8 * b);
      position += 8;
      if (std::find(drawn.begin(), drawn.end(), r % n) == drawn.end()) drawn.push_back(r % n);
    }
    for (std::size_t i : drawn)
      if (candidates[i] != requester) out.push_back(candidates[i]);
    return true;
  }

  void Bind(const Connection* socket, const std::string& share, const std::string& id) {
    auto& announced = registrations[socket];
    if (std::find(announced.begin(), announced.end(), id) == announced.end()) announced.push_back(id);
    auto& sh = peerShares[id];
    if (std::find(sh.begin(), sh.end(), share) == sh.end()) sh.push_back(share);
    auto& cs = peerConnections[id];
    if (std::find(cs.begin(), cs.end(), socket) == cs.end()) cs.push_back(socket);
  }

  void Unbind(const Connection* socket, const std::string& id) {
    auto cs = peerConnections.find(id);
    if (cs == peerConnections.end()) return;
    auto at = std::find(cs->second.begin(), cs->second.end(), socket);
    if (at != cs->second.end()) RemoveByMovingLast(cs->second, static_cast<std::size_t>(at - cs->second.begin()));
    if (!cs->second.empty()) return;
    peerConnections.erase(cs);
    for (const auto& share : peerShares[id]) {
      auto& list = shares[share];
      auto at = std::find_if(list.begin(), list.end(), [&](const ModelRecord& r) { return r.id == id; });
      if (at != list.end()) RemoveByMovingLast(list, static_cast<std::size_t>(at - list.begin()));
      if (list.empty()) shares.erase(share);  // forgotten; a later registration makes it anew
    }
    peerShares.erase(id);
  }
};

std::uint16_t HostOrder(std::uint16_t networkOrder) {
  std::uint8_t b[2];
  std::memcpy(b, &networkOrder, 2);
  return static_cast<std::uint16_t>(b[0] << 8 | b[1]);
}
std::string Text(const OwnedBytes& b) { return std::string(reinterpret_cast<const char*>(b.data()), b.length); }

constexpr unsigned kPeers = 40;

class RegistryModelTest : public TrackerTest {
 protected:
  const std::vector<std::string> shares = {Sid(1), Sid(2), Sid(3, 32), Sid(1) + std::string(12, 'x')};
  std::vector<std::unique_ptr<FakeSocket>> sockets;
  Model model;

  // Only the connection of the step can have changed its own set.
  void ExpectSameState(const FakeSocket* touched) {
    ASSERT_EQ(tracker.registry.ShareCount(), model.shares.size());
    for (const auto& [share, list] : model.shares) {
      const std::vector<PeerRecord*>* real = tracker.registry.FindShareRecords(ToShareId(share));
      ASSERT_NE(real, nullptr);
      ASSERT_EQ(real->size(), list.size());
      for (std::size_t i = 0; i < list.size(); ++i) {
        const PeerRecord& r = *(*real)[i];
        const ModelRecord& m = list[i];
        ASSERT_EQ(std::make_tuple(IdText(r.id), HostOrder(r.lp), HostOrder(r.up), r.pv, Text(r.la), Text(r.laList)),
                  std::make_tuple(m.id, m.lp, m.up, m.pv, m.la, m.laList)) << i;
      }
    }
    for (unsigned p = 0; p < kPeers; ++p) {
      const std::string id = Pid(p);
      const std::vector<ShareId>* realShares = tracker.registry.FindPeerShares(ToPeerId(id));
      ASSERT_EQ(realShares != nullptr, model.peerShares.count(id) != 0) << p;
      if (realShares != nullptr) {
        std::vector<ShareId> expected;
        for (const auto& s : model.peerShares[id]) expected.push_back(ToShareId(s));
        ASSERT_EQ(*realShares, expected) << p;
      }
      const std::vector<Connection*>* realConnections = tracker.registry.FindPeerConnections(ToPeerId(id));
      ASSERT_EQ(realConnections != nullptr, model.peerConnections.count(id) != 0) << p;
      if (realConnections != nullptr) {
        const auto& expected = model.peerConnections[id];
        ASSERT_TRUE(std::equal(realConnections->begin(), realConnections->end(), expected.begin(), expected.end()))
            << p;
      }
    }
    std::vector<std::string> ids;
    for (const PeerId& id : touched->registrations) ids.push_back(IdText(id));
    ASSERT_EQ(ids, model.registrations[touched]);
  }

  void Drive(std::uint64_t seed, int steps) {
    realStream = Stream{seed};
    model.stream = Stream{seed};
    tracker.registry.SetRandomSource(&RealFill);
    std::mt19937_64 rng(seed);
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    std::vector<FakeSocket*> live;
    int sampled = 0, failed = 0, filtered = 0;

    for (int step = 0; step < steps; ++step) {
      SCOPED_TRACE("seed " + std::to_string(seed) + " step " + std::to_string(step));
      const std::size_t roll = pick(100);
      FakeSocket* s = nullptr;
      if (live.size() < 2 || roll < 8) {
        sockets.push_back(std::make_unique<FakeSocket>(pick(2) == 0 ? Tcp : Utp));
        s = sockets.back().get();
        live.push_back(s);
      } else if (roll < 16) {
        const std::size_t at = pick(live.size());
        s = live[at];
        s->Close(tracker);
        for (const std::string& id : model.registrations[s]) model.Unbind(s, id);
        live.erase(live.begin() + static_cast<std::ptrdiff_t>(at));
      } else {
        s = live[pick(live.size())];
        const std::string share = shares[pick(10) < 6 ? 0 : 1 + pick(3)];
        const std::string peer = Pid(static_cast<unsigned>(pick(kPeers)));
        const std::uint32_t lp = pick(3) == 0 ? 0 : static_cast<std::uint32_t>(rng() % 140000);
        const std::uint32_t up = pick(2) == 0 ? 0 : static_cast<std::uint32_t>(rng() % 70000);
        const std::uint32_t pv = static_cast<std::uint32_t>(rng());
        // Values that live in the record and one that does not, in turn.
        static const std::string raws[] = {"", "0:", "03:abc", "6:abcdef", "18:" + std::string(18, 'v')};
        const std::string la = raws[pick(5)], laList = raws[pick(5)];
        std::set<std::string> pwl;
        if (pick(4) == 0) {
          const std::size_t size = pick(41);
          for (std::size_t i = 0; i < size; ++i) pwl.insert(Pid(static_cast<unsigned>(pick(kPeers + 10))));
        }

        GetPeersRequest request{RequestType::GetPeers, {Bytes(la), la.size()}, {Bytes(laList), laList.size()},
                                Bytes(peer), Bytes(share), static_cast<std::uint32_t>(share.size()), lp, up, pv, {}};
        for (const auto& id : pwl) request.pwl.insert(ToPeerId(id));

        // In the handler's order: a new record joins before the draw and is
        // taken back when it fails; a refresh waits for the draw.
        const ShareId key = ToShareId(share);
        const ModelRecord incoming{peer, static_cast<std::uint16_t>(lp), static_cast<std::uint16_t>(up), pv, la, laList};
        PeerRecord* existing = tracker.registry.FindPeerRecord(key, ToPeerId(peer));
        PeerRecord* record = existing != nullptr ? existing : tracker.registry.RegisterPeer(request, key, nullptr);
        if (existing == nullptr) model.Register(share, incoming);
        ASSERT_EQ(IdText(record->id), peer);

        const std::vector<PeerRecord*>* selection = nullptr;
        const bool ok = tracker.registry.SelectPeers(key, *record, request.pwl, &selection);
        std::vector<std::string> expected;
        ASSERT_EQ(ok, model.Select(share, peer, pwl, expected));
        ASSERT_EQ(Ids(*selection), expected);
        sampled += model.lastCandidates > 15;
        failed += !ok;
        filtered += !pwl.empty() && model.lastCandidates > 15;
        if (ok) {
          if (existing != nullptr) tracker.registry.RegisterPeer(request, key, existing);
          model.Register(share, incoming);
          tracker.registry.BindPeer(*s, key, *record);
          model.Bind(s, share, peer);
        } else if (existing == nullptr) {
          tracker.registry.WithdrawNewPeer(request, key);
          model.Withdraw(share, peer);
        }
      }
      ASSERT_NO_FATAL_FAILURE(ExpectSameState(s));
    }
    // The sequence must have reached the sampling, failure and pwl paths.
    EXPECT_GT(sampled, steps / 10);
    EXPECT_GT(failed, 5);
    EXPECT_GT(filtered, 20);
  }
};

TEST_F(RegistryModelTest, Seed1) { Drive(1, 3000); }
TEST_F(RegistryModelTest, Seed2) { Drive(0xC0FFEE, 3000); }

}  // namespace
}  // namespace lattice::test
