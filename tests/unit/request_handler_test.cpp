#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_socket.h"

namespace lattice::test {
namespace {

class HandleMessageTest : public TrackerTest {
 protected:
  const std::string share = Sid(3);
  std::string Request(unsigned peer) { return Framed({.peer = Pid(peer), .share = share}); }
};

TEST_F(HandleMessageTest, NewPeerIsIntroducedOnEveryConnectionOfTheListedPeer) {
  FakeSocket aTcp(Tcp), aUtp(Utp), b(Tcp);
  const std::string a1 = V4(10, 0, 0, 1, 1), a2 = V4(10, 0, 0, 1, 2), b3 = V4(10, 0, 0, 2, 3);
  aTcp.SetAddress(a1);
  aUtp.SetAddress(a2);
  b.SetAddress(b3);

  EXPECT_EQ(Handle(aTcp, Request(1)), PeersMessage({}, share));
  EXPECT_EQ(Handle(aUtp, Request(1)), PeersMessage({}, share));
  EXPECT_EQ(aTcp.outbound.count + aUtp.outbound.count, 0u);

  SetLoopClock(kTime + 5);  // both messages of one request carry the clock of that request
  const std::string introduce = PeersMessage({{.id = Pid(2), .a = b3, .listed = true, .tcp = {b3}}}, share, kTime + 5);
  EXPECT_EQ(Handle(b, Request(2)),
            PeersMessage({{.id = Pid(1), .a = a1, .listed = true, .tcp = {a1}, .utp = {a2}}}, share, kTime + 5));
  EXPECT_EQ(aTcp.TakeOutbound(), introduce);
  EXPECT_EQ(aUtp.TakeOutbound(), introduce);
  EXPECT_EQ(b.outbound.count, 0u);  // the reply is returned, not queued

  // Introductions are counted by the receiving kind; the reply is counted by framing.
  EXPECT_EQ(trackerStats.peersSentTotal[Tcp], 1u);
  EXPECT_EQ(trackerStats.peersSentTotal[Utp], 1u);
  EXPECT_EQ(trackerStats.getPeersTotal[Tcp], 2u);
  EXPECT_EQ(trackerStats.getPeersTotal[Utp], 1u);

  // A repeated request is handled in full again.
  Handle(b, Request(2));
  EXPECT_EQ(aTcp.TakeOutbound(), introduce);
  EXPECT_EQ(aUtp.TakeOutbound(), introduce);
}

TEST_F(HandleMessageTest, OnlyWellFormedGetPeersAreCounted) {
  FakeSocket s(Utp);
  const std::vector<std::pair<std::string, bool>> cases = {
      {Frame("de"), false},
      {Frame("d1:m5:peerse"), false},
      {Frame("d2:lpi-1ee"), false},
      {Framed({.m = std::nullopt, .peer = Pid(1), .share = share}), false},
      {Framed({}), true},
      {Framed({.peer = Pid(1)}), true},
      {Framed({.share = share}), true},
  };
  std::uint64_t counted = 0;
  for (const auto& [message, counts] : cases) {
    EXPECT_EQ(Handle(s, message), "");
    counted += counts;
    EXPECT_EQ(trackerStats.getPeersTotal[Utp], counted) << message;
    EXPECT_EQ(trackerStats.getPeersPeriod[Utp], counted) << message;
  }
  EXPECT_EQ(trackerStats.getPeersTotal[Tcp], 0u);
  EXPECT_EQ(ShareCount(), 0u);
  EXPECT_TRUE(s.registrations.empty());
}

TEST_F(HandleMessageTest, EachNewPeerIdOfAConnectionIsLoggedOnce) {
  FakeSocket s, t;
  Handle(s, Request(1));
  Handle(s, Request(1));
  Handle(s, Request(2));
  Handle(t, Request(1));
  Handle(s, Framed({.peer = Pid(2), .share = Sid(4, 32)}));  // same pair, other share
  const std::string line = "2023-11-14 22:13:20 got new peer id for the connection\n";
  EXPECT_EQ(LogText(), line + line + line);
  EXPECT_EQ(s.registrations.size(), 2u);
  EXPECT_EQ(t.registrations.size(), 1u);
}

}  // namespace
}  // namespace lattice::test
