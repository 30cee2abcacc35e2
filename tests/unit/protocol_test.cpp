// One request through the handler and the encoder, and a stream of them
// through framing: replies, introductions, counters and the per-connection
// bounds, checked byte for byte.
#include <gtest/gtest.h>

#include "test_support.h"
#include "tracker/input_pump.h"

namespace lattice::test {
namespace {

class ProtocolTest : public TrackerTest {
 protected:
  const std::string share = Sid(3);
  std::string Request(unsigned peer) { return Framed({.peer = Pid(peer), .share = share}); }
};

std::string Hex(const char* text) {
  std::string out;
  for (const char* p = text; *p != '\0'; p += *p == ' ' ? 1 : 2)
    if (*p != ' ') out.push_back(static_cast<char>(std::stoi(std::string(p, 2), nullptr, 16)));
  return out;
}

// Written out by hand, so that the builders of the other tests are checked too.
TEST_F(ProtocolTest, ReplyListingOneTcpPeerMatchesTheReferenceBytes) {
  std::string peer, share20;
  for (int i = 0; i < 20; ++i) {
    peer.push_back(static_cast<char>(0xA0 + i));
    share20.push_back(static_cast<char>(1 + i));
  }
  FakeSocket listed, requester;
  listed.SetAddress(V4(192, 0, 2, 10, 51413));
  ASSERT_FALSE(Handle(listed, Framed({.peer = peer, .share = share20, .lp = 51413})).empty());
  const std::string expected = Hex("00 00 00 97") + "d1:m5:peers5:peersld1:a6:" + Hex("c0 00 02 0a c8 d5") +
                               "8:tcp_listl6:" + Hex("c0 00 02 0a c8 d5") + "e8:utp_listle2:lpi51413e1:p20:" +
                               peer + "ee5:share20:" + share20 + "4:timei1700000000ee";
  EXPECT_EQ(Handle(requester, Framed({.peer = Pid(1), .share = share20})), expected);
}

TEST_F(ProtocolTest, NewPeerIsIntroducedOnEveryConnectionOfTheListedPeer) {
  FakeSocket aTcp(Tcp), aUtp(Utp), b(Tcp);
  const std::string a1 = V4(10, 0, 0, 1, 1), a2 = V4(10, 0, 0, 1, 2), b3 = V4(10, 0, 0, 2, 3);
  aTcp.SetAddress(a1);
  aUtp.SetAddress(a2);
  b.SetAddress(b3);
  EXPECT_EQ(Handle(aTcp, Request(1)), PeersMessage({}, share));
  EXPECT_EQ(Handle(aUtp, Request(1)), PeersMessage({}, share));
  EXPECT_EQ(aTcp.outbound.count + aUtp.outbound.count, 0u);

  SetClock(kTime + 5);  // both messages of one request carry the clock of that request
  const std::string introduce = PeersMessage({{.id = Pid(2), .a = b3, .listed = true, .tcp = {b3}}}, share, kTime + 5);
  EXPECT_EQ(Handle(b, Request(2)),
            PeersMessage({{.id = Pid(1), .a = a1, .listed = true, .tcp = {a1}, .utp = {a2}}}, share, kTime + 5));
  EXPECT_EQ(aTcp.TakeOutbound(), introduce);
  EXPECT_EQ(aUtp.TakeOutbound(), introduce);
  EXPECT_EQ(b.outbound.count, 0u);  // the reply is returned, not queued
  // Introductions are counted by the receiving kind; replies by framing.
  EXPECT_EQ(tracker.stats.peersSentTotal[Tcp], 1u);
  EXPECT_EQ(tracker.stats.peersSentTotal[Utp], 1u);
  EXPECT_EQ(tracker.stats.getPeersTotal[Tcp], 2u);
  EXPECT_EQ(tracker.stats.getPeersTotal[Utp], 1u);
  Handle(b, Request(2));  // a repeat is handled in full again
  EXPECT_EQ(aTcp.TakeOutbound(), introduce);
}

TEST_F(ProtocolTest, EntriesEchoAnnouncedFieldsAndListConnectionsInBindingOrder) {
  FakeSocket t1(Tcp), u2(Utp), t3(Tcp), asker(Tcp), v6(Utp), none(Tcp);
  const std::string a1 = V4(10, 0, 0, 1, 1), a2 = V4(10, 0, 0, 1, 2), a3 = V4(10, 0, 0, 1, 3);
  const std::string ip6 = std::string("\x20\x01\x0d\xb8", 4) + std::string(11, '\0') + "\x01\x1a\xe1";
  t1.SetAddress(a1);
  u2.SetAddress(a2);
  t3.SetAddress(a3);
  asker.SetAddress(V4(10, 0, 0, 9, 9));
  v6.SetAddress(ip6);
  Handle(t1, Framed({.peer = Pid(1), .share = share, .lp = 70000, .up = 443, .pv = 9, .la = "06:abcdef",
                     .laList = "03:xyz"}));
  Handle(u2, Framed({.peer = Pid(1), .share = share, .lp = 70000, .up = 443, .la = "06:abcdef", .laList = "03:xyz"}));
  Handle(t3, Framed({.peer = Pid(1), .share = share, .lp = 70000, .up = 443, .la = "06:abcdef", .laList = "03:xyz"}));
  Handle(v6, Framed({.peer = Pid(2), .share = share, .lp = 0, .la = "0:"}));
  Handle(none, Request(3));  // no address family the tracker can write
  Entry one{.id = Pid(1), .a = a1, .listed = true, .tcp = {a1, a3}, .utp = {a2}, .la = "06:abcdef",
            .laList = "03:xyz", .lp = 4464, .up = 443};  // 70000 keeps its low 16 bits
  const Entry two{.id = Pid(2), .a = ip6, .listed = true, .utp = {ip6}, .la = "0:"};
  const Entry three{.id = Pid(3), .listed = true};
  EXPECT_EQ(Handle(asker, Request(4)), PeersMessage({one, two, three}, share));
  // An introduction gives the connection that asked as "a", not the first bound.
  EXPECT_EQ(none.TakeOutbound(), PeersMessage({{.id = Pid(4), .a = V4(10, 0, 0, 9, 9), .listed = true,
                                                .tcp = {V4(10, 0, 0, 9, 9)}}}, share));
  t3.TakeOutbound();
  Handle(t3, Framed({.peer = Pid(1), .share = share}));
  EXPECT_EQ(none.TakeOutbound(), PeersMessage({{.id = Pid(1), .a = a3, .listed = true, .tcp = {a1, a3}, .utp = {a2}}},
                                              share));
  t1.Close(tracker);  // the last connection moves into the first place
  one = {.id = Pid(1), .a = a3, .listed = true, .tcp = {a3}, .utp = {a2}};
  EXPECT_EQ(Handle(asker, Request(4)), PeersMessage({one, two, three}, share));
}

TEST_F(ProtocolTest, OnlyWellFormedGetPeersAreCountedAndEachNewIdIsLoggedOnce) {
  FakeSocket s(Utp), t(Utp);
  const std::vector<std::pair<std::string, bool>> unanswered = {
      {Frame("de"), false},       {Frame("d1:m5:peerse"), false}, {Frame("d2:lpi-1ee"), false},
      {Framed({.m = std::nullopt, .peer = Pid(1), .share = share}), false},
      {Framed({}), true},         {Framed({.peer = Pid(1)}), true}, {Framed({.share = share}), true}};
  std::uint64_t counted = 0;
  for (const auto& [message, counts] : unanswered) {
    EXPECT_EQ(Handle(s, message), "");
    counted += counts;
    EXPECT_EQ(tracker.stats.getPeersTotal[Utp], counted) << message;
    EXPECT_EQ(tracker.stats.getPeersPeriod[Utp], counted) << message;
  }
  EXPECT_EQ(tracker.registry.ShareCount(), 0u);
  EXPECT_TRUE(s.registrations.empty());

  Handle(s, Request(1));
  Handle(s, Request(1));
  Handle(s, Request(2));
  Handle(t, Request(1));
  Handle(s, Framed({.peer = Pid(2), .share = Sid(4, 32)}));  // same pair, other share
  const std::string line = "2023-11-14 22:13:20 got new peer id for the connection\n";
  EXPECT_EQ(LogText(), line + line + line);
  EXPECT_EQ(tracker.stats.getPeersTotal[Tcp], 0u);
}

// A request whose draw fails is dropped whole: nothing it would have added
// stays behind, above all no record that no connection of its own keeps.
TEST_F(ProtocolTest, RequestWhoseDrawFailsLeavesTheRegistryAsItWas) {
  std::vector<std::unique_ptr<FakeSocket>> sockets;
  for (unsigned i = 0; i < 15; ++i) {
    sockets.push_back(std::make_unique<FakeSocket>(Tcp));
    sockets.back()->SetAddress(V4(10, 0, 0, static_cast<std::uint8_t>(i), 1000));
    Handle(*sockets.back(), Request(i));
  }
  for (auto& s : sockets) s->TakeOutbound();
  FakeSocket elsewhere, late;  // the id `late` announces is bound in another share
  ASSERT_NE(Handle(elsewhere, Framed({.peer = Pid(15), .share = Sid(4)})), "");
  const std::vector<std::string> before = ShareIds(share);
  const std::int64_t bytes = elsewhere.registryBytes;
  ScriptedRandom::FailNextFill();
  EXPECT_EQ(Handle(late, Framed({.peer = Pid(15), .share = share, .la = "06:abcdef"})), "");
  EXPECT_TRUE(ScriptedRandom::failed);
  EXPECT_EQ(tracker.stats.getPeersTotal[Tcp], 17u);
  EXPECT_TRUE(late.registrations.empty());
  for (auto& s : sockets) EXPECT_EQ(s->outbound.count, 0u);  // nobody was introduced
  EXPECT_EQ(ShareIds(share), before);
  EXPECT_EQ(tracker.registry.RecordCount(), 16u);
  EXPECT_EQ(elsewhere.registryBytes, bytes);
  EXPECT_EQ(tracker.registry.PeerBytes(ToPeerId(Pid(15))), bytes);

  // With 16 records every request draws; a refresh whose draw fails keeps
  // the record and its charge.
  ASSERT_NE(Handle(late, Request(15)), "");
  tracker.registry.SetRandomSource(&ScriptedRandom::Fill);  // drops the pool: the next draw fills
  ScriptedRandom::FailNextFill();
  const std::int64_t charged = sockets[0]->registryBytes;
  EXPECT_EQ(Handle(*sockets[0], Framed({.peer = Pid(0), .share = share, .la = "06:abcdef"})), "");
  EXPECT_EQ(sockets[0]->registryBytes, charged);
  EXPECT_TRUE(tracker.registry.FindPeerRecord(ToShareId(share), ToPeerId(Pid(0)))->la.empty());
}

TEST_F(ProtocolTest, RequestsPastAPerConnectionBoundAreDroppedCountedAndLogged) {
  tracker.limits.maxLocalAddressBytes = 16;
  tracker.limits.maxPeerIdsPerConnection = 2;
  tracker.limits.maxConnectionsPerPeerId = 1;
  tracker.limits.maxRegistryBytesPerConnection = 1500;
  FakeSocket a, b, c;
  const std::string la16 = "13:" + std::string(13, 'x'), la17 = "14:" + std::string(14, 'x');
  EXPECT_EQ(Handle(a, Framed({.peer = Pid(1), .share = share, .la = la17})), "");
  EXPECT_EQ(Handle(a, Framed({.peer = Pid(1), .share = share, .laList = la17})), "");
  EXPECT_TRUE(a.registrations.empty());
  EXPECT_NE(Handle(a, Framed({.peer = Pid(1), .share = share, .la = la16, .laList = la16})), "");
  EXPECT_NE(Handle(a, Request(2)), "");
  EXPECT_EQ(Handle(a, Request(3)), "");  // a third id
  EXPECT_NE(Handle(a, Framed({.peer = Pid(1), .share = Sid(9)})), "");  // a known id still works
  EXPECT_EQ(Handle(b, Request(1)), "");  // a second connection for id 1
  EXPECT_EQ(ShareIds(share), (std::vector<std::string>{Pid(1), Pid(2)}));
  EXPECT_EQ(b.outbound.count, 0u);

  int taken = 0;
  for (unsigned i = 0; i < 20; ++i) taken += !Handle(c, Framed({.peer = Pid(7), .share = Sid(20 + i)})).empty();
  EXPECT_GE(taken, 1);
  EXPECT_LT(taken, 20);
  EXPECT_LE(c.registryBytes, 1500);
  EXPECT_NE(Handle(c, Framed({.peer = Pid(7), .share = Sid(20)})), "");  // a refresh costs nothing
  const std::uint64_t expected[kLimitKinds] = {0, 0, 0, 1, 2, 1, static_cast<std::uint64_t>(20 - taken), 0};
  for (int k = 0; k < kLimitKinds; ++k) EXPECT_EQ(tracker.stats.limitHits[k], expected[k]) << k;
  const std::string log = LogText();
  for (const char* what : {"local address value over the size limit", "peer ids on one connection over the limit",
                           "connections of one peer id over the limit", "registry bytes of one connection over the limit"})
    EXPECT_NE(log.find(std::string("request dropped: ") + what + "\n"), std::string::npos) << what;
}

// A peer's records outlive the connections that made them while another
// connection of the peer stays, so they count against every one bound to it.
TEST_F(ProtocolTest, RecordsKeptByAConnectionThatStaysCountAgainstIt) {
  tracker.limits.maxRegistryBytesPerConnection = 1500;
  const std::string la = "200:" + std::string(200, 'x');
  FakeSocket stayer;
  ASSERT_NE(Handle(stayer, Request(1)), "");
  int taken = 0;
  for (unsigned i = 0; i < 20; ++i) {
    FakeSocket passer;
    taken += !Handle(passer, Framed({.peer = Pid(1), .share = Sid(30 + i), .la = la})).empty();
    passer.Close(tracker);
  }
  EXPECT_GE(taken, 1);
  EXPECT_LT(taken, 20);
  EXPECT_EQ(stayer.registryBytes, tracker.registry.PeerBytes(ToPeerId(Pid(1))));
  EXPECT_LE(stayer.registryBytes, 1500);
  // A refresh charges its change once: the record costs what a new one would.
  FakeSocket refresher, fresh;
  ASSERT_NE(Handle(refresher, Framed({.peer = Pid(4), .share = Sid(70), .la = "03:abc"})), "");
  ASSERT_NE(Handle(refresher, Framed({.peer = Pid(4), .share = Sid(70), .la = la})), "");
  ASSERT_NE(Handle(fresh, Framed({.peer = Pid(5), .share = Sid(70), .la = la})), "");
  EXPECT_EQ(refresher.registryBytes, fresh.registryBytes);

  // One whose other peer leaves no room lets go of a peer others grow.
  FakeSocket full, grower;
  ASSERT_NE(Handle(full, Framed({.peer = Pid(2), .share = share})), "");
  ASSERT_NE(Handle(full, Framed({.peer = Pid(3), .share = share, .la = "1000:" + std::string(1000, 'y')})), "");
  ASSERT_NE(Handle(grower, Framed({.peer = Pid(2), .share = Sid(60), .la = la})), "");
  EXPECT_EQ(full.registrations.count(ToPeerId(Pid(2))), 0u);
  EXPECT_EQ(*tracker.registry.FindPeerConnections(ToPeerId(Pid(2))), std::vector<Connection*>{&grower});
  EXPECT_LE(full.registryBytes, 1500);
  grower.Close(tracker);
  EXPECT_EQ(tracker.registry.FindPeerShares(ToPeerId(Pid(2))), nullptr);
  EXPECT_EQ(ShareIds(share), (std::vector<std::string>{Pid(1), Pid(3)}));
}

// ---- framing ----

TEST_F(ProtocolTest, MessagesAreHandledWhenCompleteInArrivalOrder) {
  FakeSocket s;
  const std::string addr = V4(10, 0, 0, 1, 1000);
  s.SetAddress(addr);
  const std::string first = Request(1);
  for (std::size_t i = 0; i + 1 < first.size(); ++i) {
    s.Receive(first.substr(i, 1));
    ASSERT_TRUE(FrameMessages(tracker, s));
    ASSERT_EQ(s.inbound.size(), i + 1);
  }
  EXPECT_EQ(s.outbound.count, 0u);
  // The second message sees the first registered: its introduction lands on
  // this same connection before its reply. The partial fourth stays.
  s.Receive(first.substr(first.size() - 1) + Request(2) + Frame("dx") + Request(1).substr(0, 7));
  ASSERT_TRUE(FrameMessages(tracker, s));
  const Entry one{.id = Pid(1), .a = addr, .listed = true, .tcp = {addr}};
  const Entry two{.id = Pid(2), .a = addr, .listed = true, .tcp = {addr}};
  EXPECT_EQ(s.TakeOutbound(), PeersMessage({}, share) + PeersMessage({two}, share) + PeersMessage({one}, share));
  EXPECT_EQ(std::string(s.inbound.begin(), s.inbound.end()), Request(1).substr(0, 7));
  EXPECT_EQ(tracker.stats.getPeersTotal[Tcp], 2u);
  EXPECT_EQ(tracker.stats.peersSentTotal[Tcp], 3u);  // two replies and one introduction
  EXPECT_EQ(tracker.stats.peersSentPeriod[Tcp], 3u);

  // An empty message waits for one more byte, then goes silently.
  FakeSocket e(Utp);
  e.Receive(std::string(4, '\0'));
  ASSERT_TRUE(FrameMessages(tracker, e));
  EXPECT_EQ(e.inbound.size(), 4u);
  e.Receive(Request(3));
  ASSERT_TRUE(FrameMessages(tracker, e));
  EXPECT_TRUE(e.inbound.empty());
  EXPECT_EQ(tracker.stats.peersSentTotal[Utp], 1u);
}

TEST_F(ProtocolTest, DeclaredBodyAboveTheLimitAsksForCloseAfterEarlierMessages) {
  FakeSocket s, huge, limit;
  s.Receive(Request(1) + Prefix(kMaxMessageBody + 1) + "d");
  EXPECT_FALSE(FrameMessages(tracker, s));
  EXPECT_EQ(s.TakeOutbound(), PeersMessage({}, share));
  huge.Receive(Prefix(0xFFFFFFFFu) + "d");
  EXPECT_FALSE(FrameMessages(tracker, huge));
  limit.Receive(Prefix(kMaxMessageBody) + "d");
  EXPECT_TRUE(FrameMessages(tracker, limit));
  EXPECT_EQ(limit.inbound.size(), 5u);  // waits for the rest
  limit.Receive(std::string(kMaxMessageBody - 1, 'x'));
  EXPECT_TRUE(FrameMessages(tracker, limit));
  EXPECT_TRUE(limit.inbound.empty());
}

TEST_F(ProtocolTest, ReplyThatDoesNotFitIsHeldAndLaterRequestsWaitBehindIt) {
  FakeSocket s;
  const std::string addr = V4(10, 0, 0, 1, 1000);
  s.SetAddress(addr);
  const std::string filler(8190, 'f');
  ASSERT_EQ(s.outbound.Write(filler.data(), filler.size()), filler.size());
  const std::string requests = Request(1) + Request(2);
  EXPECT_EQ(PumpInput(tracker, s, Bytes(requests), requests.size()), InputState::Paused);
  EXPECT_EQ(std::string(s.inbound.begin(), s.inbound.end()), Request(2));  // not handled while the reply waits
  EXPECT_EQ(tracker.stats.peersSentTotal[Tcp], 0u);  // counted once it is queued
  EXPECT_EQ(OnOutputRoom(tracker, s), InputState::Paused);  // no room yet
  s.outbound.Consume(filler.size());
  EXPECT_EQ(OnOutputRoom(tracker, s), InputState::Reading);
  const Entry one{.id = Pid(1), .a = addr, .listed = true, .tcp = {addr}};
  const Entry two{.id = Pid(2), .a = addr, .listed = true, .tcp = {addr}};
  const std::string expected = PeersMessage({}, share) + PeersMessage({two}, share) + PeersMessage({one}, share);
  EXPECT_EQ(s.TakeOutbound(), expected);
  EXPECT_EQ(tracker.stats.peersSentTotal[Tcp], 3u);

  // A transport whose queue empties as it is flushed (uTP) never stays
  // paused: every reply leaves, in order, within the one call.
  FakeSocket u(Utp);
  u.SetAddress(addr);
  u.flushesAtOnce = true;
  ASSERT_EQ(u.outbound.Write(filler.data(), filler.size()), filler.size());
  const std::string again = Request(3) + Request(3) + Request(3);
  EXPECT_EQ(PumpInput(tracker, u, Bytes(again), again.size()), InputState::Reading);
  EXPECT_TRUE(u.inbound.empty());
  EXPECT_EQ(u.outbound.count, 0u);
  ASSERT_EQ(u.wire.compare(0, filler.size(), filler), 0);
  std::string_view replies(u.wire);
  replies.remove_prefix(filler.size());
  for (int i = 0; i < 3; ++i) {
    ASSERT_GE(replies.size(), 4u);
    const std::size_t size = 4 + BigEndian32(replies.data());
    ParsedPeers parsed;
    ASSERT_TRUE(PeersReader(replies.substr(0, size)).Read(parsed));
    EXPECT_EQ(parsed.peers.size(), 2u);
    replies.remove_prefix(size);
  }
  EXPECT_TRUE(replies.empty());
  // A broken length after a good request: its reply is queued, then Broken.
  FakeSocket b;
  b.SetAddress(addr);
  const std::string broken = Request(6) + Prefix(kMaxMessageBody + 1) + "d";
  EXPECT_EQ(PumpInput(tracker, b, Bytes(broken), broken.size()), InputState::Broken);
  EXPECT_NE(b.TakeOutbound().find("5:peers"), std::string::npos);
}

// A shared registry under the test's control: it takes every request, and
// the test decides what each answer says.
class ScriptedShared final : public SharedRegistry {
 public:
  bool Ask(Tracker&, Connection& connection, const GetPeersRequest& request, const ShareId&, const PeerId&) override {
    asked.push_back(std::string(reinterpret_cast<const char*>(request.peer), 20));
    if (!accept) return false;
    connection.engineWait = EngineWait::Waiting;
    return true;
  }
  SharedAnswer Answer(Connection&) override { return next; }
  EncodedMessage EncodeAnswer(Tracker& tracker, Connection&, const GetPeersRequest& request, const PeerRecord&,
                              const CompactAddress&) override {
    BeginPeersMessage(tracker.replyBuffer);
    return FinishPeersMessage(tracker.replyBuffer, request, tracker.now);
  }
  void OnConnectionClosing(Tracker&, Connection&) override {}
  void WriteMetrics(std::string&) const override {}

  bool accept = true;
  SharedAnswer next = SharedAnswer::Listed;
  std::vector<std::string> asked;
};

TEST_F(ProtocolTest, RequestAskedOfTheSharedRegistryHoldsLaterOnesUntilItsAnswerIsHandled) {
  ScriptedShared shared;
  tracker.shared = &shared;
  FakeSocket other;
  other.SetAddress(V4(10, 0, 0, 9, 900));
  shared.accept = false;  // answered here at once, as when the engine is down
  EXPECT_EQ(Handle(other, Request(9)), PeersMessage({}, share));
  shared.accept = true;

  FakeSocket s;
  const std::string addr = V4(10, 0, 0, 1, 1000);
  s.SetAddress(addr);
  const std::string requests = Request(1) + Request(2) + Request(3);
  EXPECT_EQ(PumpInput(tracker, s, Bytes(requests), requests.size()), InputState::Paused);
  // Only the first is asked; it and the rest wait, unhandled, in order.
  EXPECT_EQ(shared.asked.size(), 2u);
  EXPECT_EQ(std::string(s.inbound.begin(), s.inbound.end()), requests);
  EXPECT_EQ(s.outbound.count, 0u);
  EXPECT_EQ(OnOutputRoom(tracker, s), InputState::Paused);  // room alone resumes nothing
  EXPECT_EQ(shared.asked.size(), 2u);

  // Listed: registered here too, replied from the answer; the next is asked.
  s.engineWait = EngineWait::Answered;
  EXPECT_EQ(OnOutputRoom(tracker, s), InputState::Paused);
  EXPECT_EQ(s.TakeOutbound(), PeersMessage({}, share));
  EXPECT_NE(tracker.registry.FindPeerRecord(ToShareId(share), ToPeerId(Pid(1))), nullptr);
  EXPECT_EQ(shared.asked.back(), Pid(2));
  // Refused across the cluster: no reply and nothing registered, counted.
  shared.next = SharedAnswer::Refused;
  s.engineWait = EngineWait::Answered;
  EXPECT_EQ(OnOutputRoom(tracker, s), InputState::Paused);
  EXPECT_EQ(s.outbound.count, 0u);
  EXPECT_EQ(tracker.registry.FindPeerRecord(ToShareId(share), ToPeerId(Pid(2))), nullptr);
  EXPECT_EQ(tracker.stats.limitHits[kLimitPerPeerId], 1u);
  // Missing (late, or unreachable): answered from this node's registry.
  shared.next = SharedAnswer::Missing;
  s.engineWait = EngineWait::Answered;
  EXPECT_EQ(OnOutputRoom(tracker, s), InputState::Reading);
  const Entry one{.id = Pid(1), .a = addr, .listed = true, .tcp = {addr}};
  const Entry nine{.id = Pid(9), .a = V4(10, 0, 0, 9, 900), .listed = true, .tcp = {V4(10, 0, 0, 9, 900)}};
  // Peer 1 is on this same connection, so the introduction of 3 comes first.
  const Entry three{.id = Pid(3), .a = addr, .listed = true, .tcp = {addr}};
  EXPECT_EQ(s.TakeOutbound(), PeersMessage({three}, share) + PeersMessage({nine, one}, share));
  EXPECT_TRUE(s.inbound.empty());
  EXPECT_EQ(shared.asked.size(), 4u);
  EXPECT_EQ(tracker.stats.getPeersTotal[Tcp], 4u);  // each request counted once, answered or not
  tracker.shared = nullptr;
}

}  // namespace
}  // namespace lattice::test
