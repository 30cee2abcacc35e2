// The tracker's uTP binding driven in-process: a client libutp context talks
// to a real UdpSocket's library context, datagrams carried by the test.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "log/log.h"
#include "log/loop_clock.h"
#include "net/admission.h"
#include "net/io_port_context.h"
#include "net/run_flags.h"
#include "net/socket_list.h"
#include "net/udp_socket.h"
#include "net/utp_binding.h"
#include "net/utp_socket.h"
#include "platform/io_port.h"
#include "tracker/limits.h"
#include "tracker/peer_registry.h"
#include "tracker/tracker_stats.h"
#include "utp.h"

namespace lattice {
namespace {

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(0x7F000001);
  return a;
}

std::string Frame(const std::string& body) {
  std::uint32_t n = static_cast<std::uint32_t>(body.size());
  std::string out{static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8), static_cast<char>(n)};
  return out + body;
}

std::string GetPeers(char peer, const std::string& extra = "") {
  return Frame("d1:m9:get_peers4:peer20:" + std::string(20, peer) + "5:share20:" + std::string(20, 'S') + extra + "e");
}

class UtpBindingTest : public ::testing::Test {
 protected:
  struct Client {
    utp_socket* sock = nullptr;
    std::string received;
    bool eof = false;
    bool reset = false;
  };

  void SetUp() override {
    log = std::tmpfile();
    SetLogStreamForTesting(log);
    ResetRegistry();
    ResetAdmission();
    context.readTag = platform::CreateIoTag();
    context.writeTag = platform::CreateIoTag();
  }
  void TearDown() override {
    if (client != nullptr) utp_destroy(client);
    for (Socket* s : SocketList()) s->Close();
    tracker.reset();
    SweepSockets(0);
    ResetRegistry();
    ResetAdmission();
    limits = Limits{};
    mtuSetting = 0;
    SetLogStreamForTesting(nullptr);
    std::fclose(log);
  }

  void Start(std::int32_t mtu = 0) {
    mtuSetting = mtu;
    tracker = std::make_unique<UdpSocket>(77, &context);
    client = utp_init(2);
    utp_context_set_userdata(client, this);
    utp_set_callback(client, UTP_SENDTO, [](utp_callback_arguments* a) -> uint64 {
      auto* self = static_cast<UtpBindingTest*>(utp_context_get_userdata(a->context));
      self->toTracker.emplace_back(reinterpret_cast<const char*>(a->buf), a->len);
      return 0;
    });
    utp_set_callback(client, UTP_ON_READ, [](utp_callback_arguments* a) -> uint64 {
      static_cast<Client*>(utp_get_userdata(a->socket))->received.append(reinterpret_cast<const char*>(a->buf), a->len);
      utp_read_drained(a->socket);
      return 0;
    });
    utp_set_callback(client, UTP_ON_STATE_CHANGE, [](utp_callback_arguments* a) -> uint64 {
      auto* c = static_cast<Client*>(utp_get_userdata(a->socket));
      if (c != nullptr && a->state == UTP_STATE_EOF) c->eof = true;
      if (c != nullptr && a->state == UTP_STATE_DESTROYING) c->sock = nullptr;
      return 0;
    });
    utp_set_callback(client, UTP_ON_ERROR, [](utp_callback_arguments* a) -> uint64 {
      if (auto* c = static_cast<Client*>(utp_get_userdata(a->socket))) c->reset = true;
      return 0;
    });
  }

  Client& Connect(std::uint16_t port) {
    auto& c = clients[port];
    c = std::make_unique<Client>();
    c->sock = utp_create_socket(client);
    utp_set_userdata(c->sock, c.get());
    sockaddr_in server = Loopback(3000);
    currentPort = port;
    utp_connect(c->sock, reinterpret_cast<sockaddr*>(&server), sizeof server);
    Pump();
    return *c;
  }

  // Carries datagrams both ways until both sides fall quiet.
  void Pump(std::uint16_t fromPort = 0) {
    if (fromPort != 0) currentPort = fromPort;
    for (int round = 0; round < 200; ++round) {
      bool moved = false;
      FlushSendQueueToClient(moved);
      std::vector<std::string> batch;
      batch.swap(toTracker);
      sockaddr_in from = Loopback(currentPort);
      for (const std::string& d : batch) {
        ProcessDatagram(*tracker, reinterpret_cast<const std::uint8_t*>(d.data()), d.size(), &from, sizeof from);
        moved = true;
      }
      RunUtpTimers(*tracker);
      utp_issue_deferred_acks(client);
      if (!moved && tracker->sendQueue.empty() && toTracker.empty()) return;
    }
  }

  void FlushSendQueueToClient(bool& moved) {
    sockaddr_in server = Loopback(3000);
    while (!tracker->sendQueue.empty()) {
      Chunk* chunk = tracker->sendQueue.front();
      tracker->sendQueue.pop_front();
      largestDatagram = std::max<std::size_t>(largestDatagram, chunk->length);
      utp_process_udp(client, chunk->Data(), chunk->length, reinterpret_cast<sockaddr*>(&server), sizeof server);
      FreeChunk(chunk);
      moved = true;
    }
  }

  void Write(Client& c, const std::string& bytes) {
    ASSERT_EQ(utp_write(c.sock, const_cast<char*>(bytes.data()), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // Data on a connection the tracker no longer has draws a reset at once
  // only if its library socket is gone, not merely closing.
  bool ResetOnWrite(Client& c, std::uint16_t port) {
    Write(c, "x");
    Pump(port);
    return c.reset;
  }

  UtpSocket* Accepted(std::size_t index = 0) {
    std::vector<UtpSocket*> found;
    for (Socket* s : SocketList())
      if (s->Kind() == Utp) found.push_back(static_cast<UtpSocket*>(s));
    return index < found.size() ? found[index] : nullptr;
  }

  IoPortContext context;
  std::unique_ptr<UdpSocket> tracker;
  utp_context* client = nullptr;
  std::vector<std::string> toTracker;
  std::map<std::uint16_t, std::unique_ptr<Client>> clients;
  std::uint16_t currentPort = 0;
  std::size_t largestDatagram = 0;
  std::FILE* log = nullptr;
};

TEST_F(UtpBindingTest, AcceptedConnectionIsServedAndClosedByEndOfStream) {
  Start();
  std::uint64_t activeBefore = trackerStats.active[Utp];
  Client& c = Connect(5001);
  UtpSocket* s = Accepted();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(trackerStats.active[Utp], activeBefore + 1);
  // The library's receive id is what the client sends with: its own id + 1.
  EXPECT_EQ(s->ReceiveId(), (utp_get_receive_id(c.sock) + 1) & 0xFFFF);
  std::uint8_t port[2];
  std::memcpy(port, s->peerAddress.bytes + 2, 2);
  EXPECT_EQ(port[0] << 8 | port[1], 5001);

  Write(c, GetPeers('A'));
  Pump();
  EXPECT_EQ(c.received.substr(4, 25), "d1:m5:peers5:peersle5:sha");
  EXPECT_EQ(trackerStats.getPeersTotal[Utp] >= 1, true);
  ASSERT_NE(FindPeerConnections(PeerId::From(reinterpret_cast<const std::uint8_t*>(std::string(20, 'A').data()))), nullptr);

  utp_close(c.sock);
  Pump();
  EXPECT_TRUE(s->closed);
  // Unbound at once: the peer left the registry with its last connection.
  EXPECT_EQ(FindPeerConnections(PeerId::From(reinterpret_cast<const std::uint8_t*>(std::string(20, 'A').data()))), nullptr);
}

TEST_F(UtpBindingTest, ReplyLargerThanTheWindowWaitsInTheRingAndLeavesWhenWritable) {
  Start(1200);
  // Fifteen peers whose long la_list values make the reply several packets long.
  // Kept under the 8 KiB outbound limit, which would drop the reply whole.
  std::string laList = "400:" + std::string(400, 'x');
  for (int i = 0; i < 15; ++i) {
    Client& other = Connect(static_cast<std::uint16_t>(6000 + i));
    Write(other, GetPeers(static_cast<char>('a' + i), "7:la_list" + laList));
    Pump(static_cast<std::uint16_t>(6000 + i));
  }
  Client& c = Connect(5002);
  UtpSocket* s = Accepted(15);
  ASSERT_NE(s, nullptr);
  Write(c, GetPeers('Z'));
  // Deliver the request but hold back the acknowledgements that would open
  // the tracker's window.
  sockaddr_in from = Loopback(5002);
  for (const std::string& d : toTracker)
    ProcessDatagram(*tracker, reinterpret_cast<const std::uint8_t*>(d.data()), d.size(), &from, sizeof from);
  toTracker.clear();
  EXPECT_GT(s->outbound.count, 0u) << "the reply fitted the first window; the test proves nothing";
  Pump(5002);
  EXPECT_EQ(s->outbound.count, 0u);
  ASSERT_GE(c.received.size(), 4u);
  std::uint32_t length = static_cast<std::uint8_t>(c.received[0]) << 24 | static_cast<std::uint8_t>(c.received[1]) << 16 |
                         static_cast<std::uint8_t>(c.received[2]) << 8 | static_cast<std::uint8_t>(c.received[3]);
  EXPECT_GT(length, 6000u);
  EXPECT_EQ(c.received.size(), length + 4u);
  EXPECT_EQ(c.received.back(), 'e');
  EXPECT_LE(largestDatagram, 1200u);
}

TEST_F(UtpBindingTest, OversizedDeclaredLengthClosesTheConnection) {
  Start();
  Client& c = Connect(5003);
  UtpSocket* s = Accepted();
  ASSERT_NE(s, nullptr);
  Write(c, std::string("\x00\x10\x00\x01" "d", 5));  // declares a body past the limit
  Pump();
  EXPECT_TRUE(s->closed);
  EXPECT_EQ(s->utpSock, nullptr);
}

TEST_F(UtpBindingTest, DestroyedContextLeavesNoBoundSocketBehind) {
  Start();
  Connect(5004);
  UtpSocket* s = Accepted();
  ASSERT_NE(s, nullptr);
  tracker.reset();  // destroys the library context and every socket in it
  EXPECT_TRUE(s->closed);
  EXPECT_EQ(s->utpSock, nullptr);
  s->Send("x", 1);  // must not reach the freed library socket
  EXPECT_EQ(s->outbound.count, 1u);
}

TEST_F(UtpBindingTest, PendingConnectionsAreEvictedOldestFirstAndFreedAtOnce) {
  limits.maxPendingUtpConnections = 4;
  limits.pendingUtpTimeout = 5;
  SetLoopClock(1000);
  Start();
  Client& served = Connect(5100);
  Write(served, GetPeers('A'));
  Pump(5100);
  ASSERT_FALSE(served.received.empty());
  const std::uint64_t hitsBefore = trackerStats.limitHits[kLimitPendingUtp];

  // Six bare handshakes against a bound of four: the two oldest go.
  for (std::uint16_t port = 5101; port <= 5106; ++port) Connect(port);
  EXPECT_EQ(PendingUtpConnections(), 4u);
  EXPECT_EQ(trackerStats.limitHits[kLimitPendingUtp], hitsBefore + 2);
  EXPECT_TRUE(Accepted(1)->closed);
  EXPECT_TRUE(Accepted(2)->closed);
  EXPECT_FALSE(Accepted(3)->closed);
  EXPECT_TRUE(ResetOnWrite(*clients[5101], 5101));
  EXPECT_FALSE(ResetOnWrite(*clients[5103], 5103));

  // Above half the bound, pending ones past the time-out go, until the count
  // is back at half; the connection that made a request stays and is served.
  SetLoopClock(1000 + 6);
  Pump(5103);
  EXPECT_EQ(OpenUtpConnections(), 2u);
  EXPECT_EQ(trackerStats.limitHits[kLimitPendingUtp], hitsBefore + 5);
  EXPECT_FALSE(Accepted(0)->closed);
  served.received.clear();
  Write(served, GetPeers('A'));
  Pump(5100);
  EXPECT_EQ(served.received.substr(4, 13), "d1:m5:peers5:");
}

TEST_F(UtpBindingTest, RefusedConnectionIsFreedWhenTheLibraryReturns) {
  limits.maxConnectionsPerAddress = 1;
  Start();
  Client& first = Connect(5200);
  Client& refused = Connect(5201);
  ASSERT_NE(Accepted(1), nullptr);
  EXPECT_TRUE(Accepted(1)->closed);
  EXPECT_EQ(Accepted(1)->utpSock, nullptr);
  EXPECT_TRUE(ResetOnWrite(refused, 5201));
  Write(first, GetPeers('B'));
  Pump(5200);
  EXPECT_FALSE(first.received.empty());
}

}  // namespace
}  // namespace lattice
