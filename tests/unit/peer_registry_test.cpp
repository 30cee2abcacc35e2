#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fake_socket.h"

namespace lattice::test {
namespace {

const std::uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

// A random value whose remainder is `index` both modulo 16 and modulo 20,
// with high bytes set so that a misread byte order draws another index.
std::uint64_t DrawOf(std::uint64_t index) { return index + 80ULL * 0x0123456789ABCDULL * (index + 1); }
void Script(std::initializer_list<std::uint64_t> indices) {
  for (std::uint64_t i : indices) ScriptedRandom::script.push_back(DrawOf(i));
}

struct Fields {
  std::uint32_t lp = 0, up = 0, pv = 0;
  std::string la, laList;
};

class RegistryTest : public TrackerTest {
 protected:
  PeerRecord* Register(const std::string& share, const std::string& peer, const Fields& f = {}) {
    GetPeersRequest r;
    r.type = RequestType::GetPeers;
    r.peer = Bytes(peer);
    r.share = Bytes(share);
    r.shareLength = static_cast<std::uint32_t>(share.size());
    r.lp = f.lp;
    r.up = f.up;
    r.pv = f.pv;
    r.la = {Bytes(f.la), f.la.size()};
    r.laList = {Bytes(f.laList), f.laList.size()};
    return RegisterPeer(r, ToShareId(share));
  }
  std::vector<std::string> Select(const std::string& share, const std::string& requester,
                                  const std::vector<std::string>& pwl = {}, bool* ok = nullptr) {
    std::set<PeerId> set;
    for (const auto& id : pwl) set.insert(ToPeerId(id));
    PeerRecord* record = Register(share, requester);
    const std::vector<PeerRecord*>* selection = nullptr;
    bool result = SelectPeers(ToShareId(share), *record, set, &selection);
    if (ok != nullptr) *ok = result;
    return Ids(*selection);
  }
  // What one request does to the registry, in the handler's order.
  void Join(FakeSocket& socket, const std::string& share, const std::string& peer) {
    PeerRecord* record = Register(share, peer);
    const std::vector<PeerRecord*>* selection = nullptr;
    ASSERT_TRUE(SelectPeers(ToShareId(share), *record, {}, &selection));
    BindPeer(socket, ToShareId(share), *record);
  }
  static std::vector<Socket*> Connections(const std::string& peer) {
    const std::vector<Socket*>* list = FindPeerConnections(ToPeerId(peer));
    return list == nullptr ? std::vector<Socket*>{} : *list;
  }
  static std::vector<std::string> Peers(std::initializer_list<unsigned> ns) {
    std::vector<std::string> ids;
    for (unsigned n : ns) ids.push_back(Pid(n));
    return ids;
  }

  const std::string share = Sid(1);
};

TEST_F(RegistryTest, RefreshKeepsThePlaceAndReplacesEveryField) {
  Register(share, Pid(1));
  PeerRecord* b = Register(share, Pid(2), {.lp = 70000, .up = 80, .pv = 5, .la = "06:abcdef", .laList = "1:x"});
  Register(share, Pid(3));
  std::uint8_t lp[2];
  std::memcpy(lp, &b->lp, 2);
  EXPECT_EQ(lp[0], 0x11);  // 70000 keeps its low 16 bits, 4464, big-endian
  EXPECT_EQ(lp[1], 0x70);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b->la.data.get()), b->la.length), "06:abcdef");

  EXPECT_EQ(Register(share, Pid(2), {.pv = 6}), b);
  EXPECT_EQ(ShareIds(share), Peers({1, 2, 3}));
  EXPECT_EQ(b->lp, 0);
  EXPECT_EQ(b->up, 0);
  EXPECT_EQ(b->pv, 6u);
  EXPECT_TRUE(b->la.empty());
  EXPECT_TRUE(b->laList.empty());
}

TEST_F(RegistryTest, UpToFifteenCandidatesAreListedInOrderWithoutRandomBytes) {
  EXPECT_TRUE(Select(share, Pid(0)).empty());
  for (unsigned i = 1; i < 15; ++i) Register(share, Pid(i));
  EXPECT_EQ(Select(share, Pid(5)), Peers({0, 1, 2, 3, 4, 6, 7, 8, 9, 10, 11, 12, 13, 14}));
  EXPECT_EQ(ScriptedRandom::fills, 0);
}

TEST_F(RegistryTest, SixteenCandidatesAreTakenAtTheDrawnIndicesInDrawOrder) {
  for (unsigned i = 0; i < 16; ++i) Register(share, Pid(i));
  // 19 is a repeat of 3 modulo 16: discarded, its 8 bytes spent all the same.
  Script({3, 19, 0, 7, 1, 2, 4, 6, 8, 9, 10, 11, 12, 13, 14, 15});
  Script({7, 2, 5, 0, 1, 3, 4, 6, 8, 9, 10, 11, 12, 13, 14});
  EXPECT_EQ(Select(share, Pid(5)), Peers({3, 0, 7, 1, 2, 4, 6, 8, 9, 10, 11, 12, 13, 14, 15}));
  // The requester's index is drawn this time: 14 are listed.
  EXPECT_EQ(Select(share, Pid(7)), Peers({2, 5, 0, 1, 3, 4, 6, 8, 9, 10, 11, 12, 13, 14}));
  EXPECT_EQ(ScriptedRandom::fills, 1);
}

TEST_F(RegistryTest, PwlKeepsOnlyNamedCandidatesInListOrder) {
  for (unsigned i = 20; i-- > 0;) Register(share, Pid(i));  // list order differs from byte order
  EXPECT_TRUE(Select(share, Pid(3), Peers({100, 101})).empty());
  EXPECT_TRUE(Select(share, Pid(3), Peers({3})).empty());
  EXPECT_EQ(Select(share, Pid(3), Peers({2, 3, 9, 15, 100})), Peers({15, 9, 2}));

  const std::string small = Sid(2);
  for (unsigned i = 0; i < 5; ++i) Register(small, Pid(i));
  std::vector<std::string> many = Peers({0, 1, 2, 3, 4});
  for (unsigned i = 100; i < 130; ++i) many.push_back(Pid(i));
  EXPECT_EQ(Select(small, Pid(0), many), Peers({1, 2, 3, 4}));
  EXPECT_EQ(ScriptedRandom::fills, 0);
}

TEST_F(RegistryTest, PwlSamplingDrawsIndicesOfTheFilteredList) {
  for (unsigned i = 0; i < 30; ++i) Register(share, Pid(i));
  // 20 named members: the even ones below 10 and every odd one.
  std::vector<std::string> named;
  std::vector<std::string> candidates;  // in list order
  for (unsigned i = 0; i < 30; ++i) {
    if ((i % 2 == 0 && i < 10) || i % 2 == 1) {
      named.push_back(Pid(i));
      candidates.push_back(Pid(i));
    }
  }
  const std::vector<std::uint64_t> indices = {19, 39, 0, 5, 17, 2, 3, 4, 6, 7, 8, 9, 10, 11, 12, 13};
  std::vector<std::string> expected;
  std::set<std::uint64_t> seen;
  for (std::uint64_t i : indices)
    if (seen.insert(i % 20).second && candidates[i % 20] != Pid(1)) expected.push_back(candidates[i % 20]);
  ASSERT_EQ(expected.size(), 15u);
  // Fewer names than records, and more names than records, take different paths.
  for (unsigned outsiders : {5u, 15u}) {
    std::vector<std::string> pwl = named;
    for (unsigned i = 0; i < outsiders; ++i) pwl.push_back(Pid(200 + i));
    for (std::uint64_t i : indices) ScriptedRandom::script.push_back(DrawOf(i));
    SetRandomSource(&ScriptedRandom::Fill);  // a fresh pool starts with these draws
    EXPECT_EQ(Select(share, Pid(1), pwl), expected) << outsiders;
  }
}

TEST_F(RegistryTest, RemovalMovesTheLastElementIntoTheGap) {
  FakeSocket a, b, c, d;
  Join(a, share, Pid(1));
  Join(b, share, Pid(2));
  Join(c, share, Pid(3));
  Join(d, share, Pid(4));
  b.Close();
  EXPECT_EQ(ShareIds(share), Peers({1, 4, 3}));

  FakeSocket x, y, z;
  for (FakeSocket* s : {&x, &y, &z}) Join(*s, share, Pid(9));
  x.Close();
  EXPECT_EQ(Connections(Pid(9)), (std::vector<Socket*>{&z, &y}));
}

TEST_F(RegistryTest, PeerLeavesWithItsLastConnection) {
  FakeSocket first(Tcp), second(Utp);
  Join(first, share, Pid(1));
  Join(second, share, Pid(1));
  Join(first, share, Pid(1));  // a repeat does not list the connection twice
  EXPECT_EQ(Connections(Pid(1)), (std::vector<Socket*>{&first, &second}));
  first.Close();
  EXPECT_EQ(ShareIds(share), Peers({1}));
  EXPECT_EQ(Connections(Pid(1)), std::vector<Socket*>{&second});
  second.Close();
  EXPECT_TRUE(ShareIds(share).empty());
  EXPECT_EQ(FindPeerConnections(ToPeerId(Pid(1))), nullptr);
  EXPECT_EQ(FindPeerShares(ToPeerId(Pid(1))), nullptr);
}

TEST_F(RegistryTest, ClosingAConnectionUnbindsEveryIdItAnnounced) {
  FakeSocket shared, other;
  Join(shared, share, Pid(1));
  Join(other, share, Pid(3));
  Join(shared, share, Pid(2));
  EXPECT_EQ(shared.registrations.size(), 2u);
  shared.Close();
  EXPECT_EQ(ShareIds(share), Peers({3}));
  EXPECT_EQ(FindPeerShares(ToPeerId(Pid(2))), nullptr);
}

TEST_F(RegistryTest, PeerLeavesEveryShareAndEmptySharesGo) {
  const std::string shareA = Sid(1), shareB = Sid(2, 32);
  FakeSocket s, t;
  Join(s, shareA, Pid(1));
  Join(s, shareB, Pid(1));
  Join(s, shareA, Pid(1));
  Join(t, shareA, Pid(2));
  const std::vector<ShareId>* shares = FindPeerShares(ToPeerId(Pid(1)));
  ASSERT_NE(shares, nullptr);
  EXPECT_EQ(*shares, (std::vector<ShareId>{ToShareId(shareA), ToShareId(shareB)}));
  EXPECT_EQ(ShareCount(), 2u);
  s.Close();
  EXPECT_EQ(ShareIds(shareA), Peers({2}));
  // The emptied share holds no entry, so churn leaves no memory behind.
  EXPECT_EQ(FindShareRecords(ToShareId(shareB)), nullptr);
  EXPECT_EQ(ShareCount(), 1u);
  Join(s, shareB, Pid(5));
  EXPECT_EQ(ShareIds(shareB), Peers({5}));
  EXPECT_EQ(ShareCount(), 2u);
}

TEST_F(RegistryTest, RefillFailingInMidSelectionReturnsNothing) {
  for (unsigned i = 0; i < 16; ++i) Register(share, Pid(i));
  // One pool spent on repeats of one index; the refill it then needs fails.
  ScriptedRandom::script.assign(128, DrawOf(1));
  ScriptedRandom::failOn = 2;
  bool ok = true;
  EXPECT_TRUE(Select(share, Pid(0), {}, &ok).empty());
  EXPECT_FALSE(ok);
  // The next draw tries to refill again and starts at the fresh pool's start.
  Script({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15});
  EXPECT_EQ(Select(share, Pid(0), {}, &ok), Peers({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}));
  EXPECT_TRUE(ok);
  EXPECT_EQ(ScriptedRandom::fills, 3);
}

TEST_F(RegistryTest, PeerRegisteredWhileTheSourceFailsIsListedWithoutAddresses) {
  std::vector<std::unique_ptr<FakeSocket>> sockets;
  std::vector<Entry> entries;  // how each bound peer is listed
  for (unsigned i = 0; i < 15; ++i) {
    const std::string addr = V4(10, 0, 0, static_cast<std::uint8_t>(i), static_cast<std::uint16_t>(1000 + i));
    sockets.push_back(std::make_unique<FakeSocket>(Tcp));
    sockets.back()->SetAddress(addr);
    entries.push_back({.id = Pid(i), .a = addr, .listed = true, .tcp = {addr}});
    ASSERT_FALSE(Handle(*sockets.back(), Framed({.peer = Pid(i), .share = share})).empty());
  }
  for (auto& s : sockets) s->TakeOutbound();

  FakeSocket late(Tcp);
  late.SetAddress(V4(10, 0, 1, 1, 1));
  ScriptedRandom::FailNextFill();
  EXPECT_EQ(Handle(late, Framed({.peer = Pid(15), .share = share})), "");
  EXPECT_EQ(trackerStats.getPeersTotal[Tcp], 16u);
  EXPECT_EQ(ShareIds(share).back(), Pid(15));
  EXPECT_EQ(FindPeerShares(ToPeerId(Pid(15))), nullptr);
  EXPECT_EQ(FindPeerConnections(ToPeerId(Pid(15))), nullptr);
  EXPECT_TRUE(late.registrations.empty());
  for (auto& s : sockets) EXPECT_EQ(s->outbound.count, 0u);  // nobody was introduced
  late.Close();
  EXPECT_EQ(ShareIds(share).size(), 16u);  // no close can remove it

  Script({15, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13});
  std::vector<Entry> expected = {{.id = Pid(15)}};
  expected.insert(expected.end(), entries.begin() + 1, entries.begin() + 14);
  EXPECT_EQ(Handle(*sockets[0], Framed({.peer = Pid(0), .share = share})), PeersMessage(expected, share));
  EXPECT_EQ(ScriptedRandom::fills, 2);
}

}  // namespace
}  // namespace lattice::test
