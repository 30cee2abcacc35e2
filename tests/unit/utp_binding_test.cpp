// The tracker's uTP binding driven in-process: a client libutp context talks
// to a real UdpSocket's library context through the receive completion.
#include <gtest/gtest.h>

#include "net/admission.h"
#include "net/utp_socket.h"
#include "test_support.h"
#include "utp_link.h"

namespace lattice::test {
namespace {

std::string GetPeers(char peer, std::optional<std::string> laList = std::nullopt) {
  return Framed({.peer = std::string(20, peer), .share = Sid(1), .laList = laList});
}

class UtpBindingTest : public TrackerTest {
 protected:
  void TearDown() override {
    link.reset();
    TrackerTest::TearDown();
  }
  void Write(UtpStream& c, const std::string& bytes, std::uint16_t port) {
    ASSERT_EQ(utp_write(c.sock, const_cast<char*>(bytes.data()), bytes.size()), static_cast<ssize_t>(bytes.size()));
    link->Pump(port);
  }
  // Data on a connection the tracker no longer has draws a reset at once
  // only if its library socket is gone, not merely closing.
  bool ResetOnWrite(UtpStream& c, std::uint16_t port) {
    Write(c, "x", port);
    return c.reset;
  }
  UtpSocket* Accepted(std::size_t index = 0) {
    std::vector<UtpSocket*> found;
    for (Socket* s : link->context.sockets)
      if (s->Kind() == Utp) found.push_back(static_cast<UtpSocket*>(s));
    return index < found.size() ? found[index] : nullptr;
  }
  std::unique_ptr<UtpLink> link = std::make_unique<UtpLink>(tracker);
};

TEST_F(UtpBindingTest, AcceptedConnectionIsServedAndUnboundByEndOfStream) {
  UtpStream& c = link->Connect(5001);
  UtpSocket* s = Accepted();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(tracker.stats.active[Utp], 1u);
  // The library's receive id is what the client sends with: its own id + 1.
  EXPECT_EQ(s->receiveId, (utp_get_receive_id(c.sock) + 1) & 0xFFFF);
  ASSERT_EQ(s->peerAddress.size, 6u);
  EXPECT_EQ(s->peerAddress.bytes[4] << 8 | s->peerAddress.bytes[5], 5001);
  Write(c, GetPeers('A'), 5001);
  EXPECT_EQ(c.received, PeersMessage({}, Sid(1)));
  ASSERT_NE(tracker.registry.FindPeerConnections(ToPeerId(std::string(20, 'A'))), nullptr);
  utp_close(c.sock);
  link->Pump(5001);
  EXPECT_TRUE(s->closed);
  EXPECT_EQ(tracker.registry.FindPeerConnections(ToPeerId(std::string(20, 'A'))), nullptr);  // at once, with its last connection
}

TEST_F(UtpBindingTest, ReplyLargerThanTheWindowWaitsInTheRingAndLeavesWhenWritable) {
  link = std::make_unique<UtpLink>(tracker, 1200);
  // Fifteen peers whose la_list values make the reply several packets long,
  // under the 8 KiB outbound limit that would drop it whole.
  for (int i = 0; i < 15; ++i)
    Write(link->Connect(static_cast<std::uint16_t>(6000 + i)), GetPeers(static_cast<char>('a' + i), Str(std::string(400, 'x'))),
          static_cast<std::uint16_t>(6000 + i));
  UtpStream& c = link->Connect(5002);
  UtpSocket* s = Accepted(15);
  ASSERT_NE(s, nullptr);
  std::string request = GetPeers('Z');
  ASSERT_EQ(utp_write(c.sock, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  // The request arrives, the acknowledgements that would open the window do not.
  for (const std::string& d : std::exchange(link->toTracker, {})) link->Deliver(d.data(), d.size(), 5002);
  EXPECT_GT(s->outbound.count, 0u) << "the reply fitted the first window; the test proves nothing";
  link->Pump(5002);
  EXPECT_EQ(s->outbound.count, 0u);
  ParsedPeers reply;
  ASSERT_TRUE(PeersReader(c.received).Read(reply));
  EXPECT_GE(reply.peers.size(), 14u);  // 16 candidates: 15 drawn, minus the requester when drawn
  EXPECT_GT(c.received.size(), 6000u);
  EXPECT_LE(link->largestDatagram, 1200u);
}

TEST_F(UtpBindingTest, OverLongLengthOrADestroyedContextLeavesNoBoundSocketBehind) {
  UtpStream& c = link->Connect(5003);
  UtpSocket* s = Accepted();
  ASSERT_NE(s, nullptr);
  Write(c, std::string("\x00\x10\x00\x01" "d", 5), 5003);  // declares a body past the limit
  EXPECT_TRUE(s->closed);
  EXPECT_EQ(s->utpSock, nullptr);
  link->Connect(5004);
  s = Accepted(1);
  ASSERT_NE(s, nullptr);
  link->tracker.reset();  // destroys the library context and every socket in it
  EXPECT_TRUE(s->closed);
  EXPECT_EQ(s->utpSock, nullptr);
  s->Send("x", 1);  // must not reach the freed library socket
  EXPECT_EQ(s->outbound.count, 1u);
}

TEST_F(UtpBindingTest, PendingConnectionsAreEvictedOldestFirstAndFreedAtOnce) {
  tracker.limits.maxPendingUtpConnections = 4;
  tracker.limits.pendingUtpTimeout = 5;
  SetClock(1000);
  UtpStream& served = link->Connect(5100);
  Write(served, GetPeers('A'), 5100);
  ASSERT_FALSE(served.received.empty());
  // Six handshakes in one second against a bound of four: the last two are
  // dropped unanswered, as evicting would take connections in their first
  // second; no object is made for them.
  std::vector<UtpStream*> bare;
  for (std::uint16_t port = 5101; port <= 5106; ++port) bare.push_back(&link->Connect(port));
  EXPECT_EQ(link->context.pendingUtp.count, 4u);
  EXPECT_EQ(tracker.stats.limitHits[kLimitPendingUtp], 2u);
  EXPECT_EQ(Accepted(5), nullptr);
  // A second on, the oldest gives way to the next handshake.
  SetClock(1000 + 1);
  bare.push_back(&link->Connect(5107));
  EXPECT_EQ(link->context.pendingUtp.count, 4u);
  EXPECT_EQ(tracker.stats.limitHits[kLimitPendingUtp], 3u);
  EXPECT_TRUE(Accepted(1)->closed);
  EXPECT_FALSE(Accepted(2)->closed);
  EXPECT_TRUE(ResetOnWrite(*bare[0], 5101));
  EXPECT_FALSE(ResetOnWrite(*bare[2], 5103));
  // Above half the bound, pending ones past the time-out go until the count
  // is back at half; the connection that made a request stays and is served.
  SetClock(1000 + 6);
  link->Pump(5103);
  EXPECT_EQ(link->context.pendingUtp.open, 2u);
  EXPECT_EQ(tracker.stats.limitHits[kLimitPendingUtp], 6u);
  EXPECT_FALSE(Accepted(0)->closed);
  served.received.clear();
  Write(served, GetPeers('A'), 5100);
  EXPECT_EQ(served.received, PeersMessage({}, Sid(1), 1006));
}

TEST_F(UtpBindingTest, RefusedConnectionIsFreedWhenTheLibraryReturnsAndCountedNowhere) {
  tracker.limits.maxConnectionsPerAddress = 1;
  UtpStream& first = link->Connect(5200);
  UtpStream& refused = link->Connect(5201);
  EXPECT_EQ(Accepted(1), nullptr);
  EXPECT_EQ(tracker.stats.limitHits[kLimitPerAddress], 1u);
  EXPECT_EQ(tracker.stats.registeredTotal[Utp], 1u);
  EXPECT_EQ(tracker.stats.unregisteredTotal[Utp], 0u);
  EXPECT_TRUE(ResetOnWrite(refused, 5201));
  Write(first, GetPeers('B'), 5200);
  EXPECT_EQ(first.received, PeersMessage({}, Sid(1)));
}

}  // namespace
}  // namespace lattice::test
