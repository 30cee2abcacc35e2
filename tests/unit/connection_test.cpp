// The per-connection buffers and bookkeeping: the outbound ring, the
// datagram send queue, the sweep of closed and idle connections, and the
// admission bounds.
#include <gtest/gtest.h>

#include <algorithm>

#include "net/admission.h"
#include "net/io_port_context.h"
#include "net/send_queue.h"
#include "net/udp_socket.h"
#include "test_support.h"

namespace lattice::test {
namespace {

TEST(ByteRing, WrappedWritesLandInTheGapAndGrowthKeepsOrder) {
  FakeSocket s;
  ByteRing& ring = s.outbound;
  const std::string a(1000, 'a'), b(300, 'b'), c(700, 'c');
  ASSERT_EQ(ring.Write(a.data(), a.size()), a.size());
  ring.Consume(900);  // head at 900, 100 bytes held
  ASSERT_EQ(ring.Write(b.data(), b.size()), b.size());  // wraps: 124 at the end, 176 from 0
  EXPECT_EQ(ring.capacity, 1024u);
  EXPECT_EQ(ring.ContiguousSize(), 124u);
  ASSERT_EQ(ring.Write(c.data(), c.size()), c.size());  // needs growth to 2048
  EXPECT_EQ(ring.capacity, 2048u);
  EXPECT_EQ(ring.head, 0u);
  EXPECT_EQ(s.TakeOutbound(), std::string(100, 'a') + b + c);
  EXPECT_EQ(ring.head, 0u);
  ASSERT_EQ(ring.Write(a.data(), a.size()), a.size());
  EXPECT_EQ(s.TakeOutbound(), a);
  EXPECT_EQ(ring.capacity, 0u);
  // A send in flight reads the block it started on, which a growing write
  // must leave alone until the send is done.
  ASSERT_EQ(ring.Write(b.data(), b.size()), b.size());
  ring.Lend();
  const auto* inFlight = reinterpret_cast<const char*>(ring.ContiguousData());
  ASSERT_EQ(ring.Write(a.data(), a.size()), a.size());
  EXPECT_EQ(ring.capacity, 2048u);
  EXPECT_EQ(std::string(inFlight, b.size()), b);
  ring.Consume(b.size());
  ring.Return();
  EXPECT_EQ(s.TakeOutbound(), a);
}

TEST(ByteRing, RefusesWholeMessagesPastTheLimitAndStillTakesSmallerOnes) {
  ByteRing ring;
  const std::string big(8000, 'x'), over(193, 'y'), fits(192, 'z');
  ASSERT_EQ(ring.Write(big.data(), big.size()), big.size());
  EXPECT_EQ(ring.Write(over.data(), over.size()), 0u);
  EXPECT_EQ(ring.count, 8000u);
  EXPECT_EQ(ring.Write(fits.data(), fits.size()), fits.size());
  EXPECT_EQ(ring.capacity, 8192u);
  EXPECT_EQ(ring.ContiguousSize(), 8192u);  // full: the tail has met the head
  ring.Consume(9000);  // larger than held: no change
  EXPECT_EQ(ring.count, 8192u);
}

// A scripted datagram sender: each call takes the next outcome.
std::vector<platform::IoResult> outcomes;
std::vector<std::string> sent;

platform::IoResult ScriptedSend(platform::IoPort*, platform::SocketHandle, platform::IoRecord*, const void* data,
                                std::uint32_t length, const void*, std::int32_t) {
  sent.emplace_back(static_cast<const char*>(data), length);
  if (sent.size() > outcomes.size()) return {platform::IoStatus::Pending, 0, 0};
  return outcomes[sent.size() - 1];
}
platform::IoResult AtOnce(std::uint32_t bytes) { return {platform::IoStatus::CompletedAtOnce, bytes, 0}; }
platform::IoResult Pending() { return {platform::IoStatus::Pending, 0, 0}; }

// A scripted batch call: each takes the next count of datagrams (none: Pending).
std::vector<std::uint32_t> batchTakes;
platform::IoResult ScriptedBatch(platform::IoPort*, platform::SocketHandle, const platform::DatagramSlot* slots,
                                 std::uint32_t count) {
  if (batchTakes.empty() || batchTakes.front() == 0) return Pending();
  const std::uint32_t n = std::min(batchTakes.front(), count);
  batchTakes.erase(batchTakes.begin());
  for (std::uint32_t i = 0; i < n; ++i) sent.emplace_back(static_cast<const char*>(slots[i].data), slots[i].length);
  return AtOnce(n);
}

class SendQueueTest : public TrackerTest {
 protected:
  void SetUp() override {
    TrackerTest::SetUp();
    outcomes.clear();
    sent.clear();
    batchTakes.clear();
    queue.sender = ScriptedSend;
    queue.batchSender = ScriptedBatch;
  }
  void Enqueue(const std::string& payload, std::uint32_t addressLength = 16) {
    std::uint8_t address[256] = {2};
    queue.Enqueue(payload.data(), payload.size(), address, addressLength);
  }
  std::string Front() {
    return std::string(reinterpret_cast<char*>(queue.chunks.front()->Data()), queue.chunks.front()->length);
  }
  platform::IoRecord record{};
  DatagramQueue queue{nullptr, 123, &record, tracker.stats};
};

TEST_F(SendQueueTest, AddressLengthLimitsAndEmptyDatagrams) {
  Enqueue("a", 128);
  Enqueue("b", 129);
  Enqueue("c", 0xFFFFFFFFu);  // negative as a signed length
  Enqueue("", 16);
  Enqueue("d", 0);
  ASSERT_EQ(queue.chunks.size(), 1u);
  EXPECT_EQ(queue.chunks.front()->addressLength, 128u);
  // Empty data or address is ignored without a word.
  EXPECT_EQ(LogText(), "2023-11-14 22:13:20 EnqueueChunk() addrLen is too large: 129 (max allowed 128)\n"
                       "2023-11-14 22:13:20 EnqueueChunk() addrLen is too large: 4294967295 (max allowed 128)\n");
}

TEST_F(SendQueueTest, ImmediateSendsChainInOrderAndTheirNotificationsAreSkipped) {
  for (const char* d : {"one", "two", "three"}) Enqueue(d);
  outcomes = {AtOnce(3), AtOnce(3), Pending()};
  EXPECT_EQ(queue.Flush(), 1u);
  EXPECT_EQ(sent, (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_TRUE(queue.Pending());
  EXPECT_EQ(queue.earlyCount, 2u);
  Enqueue("four");
  EXPECT_EQ(queue.Flush(), 2u);  // nothing starts while a send is outstanding
  EXPECT_EQ(sent.size(), 3u);
  // The two early notifications only lower the count; the third completes "three".
  queue.OnSendCompleted(3);
  queue.OnSendCompleted(3);
  EXPECT_EQ(queue.chunks.size(), 2u);
  EXPECT_TRUE(queue.Pending());
  queue.OnSendCompleted(5);
  EXPECT_FALSE(queue.Pending());
  ASSERT_EQ(queue.chunks.size(), 1u);
  EXPECT_EQ(Front(), "four");
}

// What a batch call takes leaves at once and counts as sent; the rest goes
// one overlapped send at a time, in order.
TEST_F(SendQueueTest, BatchesTakeTheFrontAndTheRestGoesOneAtATime) {
  for (const char* d : {"one", "two", "three", "four"}) Enqueue(d);
  batchTakes = {2};
  EXPECT_EQ(queue.Flush(), 2u);
  EXPECT_EQ(sent, (std::vector<std::string>{"one", "two", "three"}));
  EXPECT_EQ(tracker.stats.bytesSent[Udp], 6u);
  EXPECT_TRUE(queue.Pending());
  queue.OnSendCompleted(5);
  batchTakes = {1};
  EXPECT_EQ(queue.Flush(), 0u);
  EXPECT_EQ(sent.back(), "four");
  EXPECT_EQ(tracker.stats.bytesSent[Udp], 15u);
}

TEST_F(SendQueueTest, FailedSendOrEmptyCompletionDropsOneDatagram) {
  Enqueue("first");
  Enqueue("second");
  outcomes = {{platform::IoStatus::Failed, 0, 10065}};
  EXPECT_EQ(queue.Flush(), 1u);
  EXPECT_FALSE(queue.Pending());  // nothing in flight: the loop must wake itself for the rest
  EXPECT_NE(LogText().find(" WSASendTo() failed (10065)\n"), std::string::npos);
  outcomes.push_back(Pending());
  EXPECT_EQ(queue.Flush(), 1u);
  EXPECT_EQ(sent.back(), "second");
  Enqueue("kept");
  queue.OnSendCompleted(0);
  ASSERT_EQ(queue.chunks.size(), 1u);
  EXPECT_EQ(Front(), "kept");
}

// A connection of the loop whose transfers in flight the test controls;
// counts its fate and gives its admission place back when closed.
class Probe : public Socket {
 public:
  Probe(IoPortContext& loop, int* destroyed) : Socket(&loop), destroyed(destroyed) { loop.sockets.Add(this); }
  ~Probe() override { ++*destroyed; }
  int Kind() const override { return Tcp; }
  void Close() override {
    closed = true;
    ReleaseConnection(*this);
  }
  void StartSending() override {}
  void ResumeInput() override {}
  std::uint32_t TransfersInFlight() const override { return inFlight; }
  std::uint32_t inFlight = 0;
  int* destroyed;
};

TEST_F(TrackerTest, SweepExpiresAfterMoreThanThirtySecondsAndKeepsObjectsWithTransfersInFlight) {
  IoPortContext loop{tracker};
  int destroyed = 0;
  SetClock(1000);
  auto* idle = new Probe(loop, &destroyed);
  auto* busy = new Probe(loop, &destroyed);
  busy->inFlight = 1;
  auto* fresh = new Probe(loop, &destroyed);
  fresh->lastActivity = 1010;
  loop.sockets.SweepSockets(1030);  // exactly 30 seconds: not expired
  EXPECT_EQ(loop.sockets.size(), 3u);
  EXPECT_FALSE(idle->closed);
  loop.sockets.SweepSockets(1031);
  EXPECT_EQ(destroyed, 1);  // idle: closed and destroyed by the same sweep
  EXPECT_TRUE(busy->closed);
  EXPECT_FALSE(fresh->closed);
  busy->inFlight = 0;  // its cancelled transfer has reported
  loop.sockets.SweepSockets(1032);
  EXPECT_EQ(destroyed, 2);
  fresh->closed = true;
  loop.sockets.SweepSockets(1033);
  EXPECT_EQ(destroyed, 3);
  EXPECT_EQ(loop.sockets.size(), 0u);
}

std::string V6(std::uint16_t group1, std::uint16_t group4, std::uint16_t last) {
  std::string a(18, '\0');
  a[0] = static_cast<char>(group1 >> 8), a[1] = static_cast<char>(group1);
  a[6] = static_cast<char>(group4 >> 8), a[7] = static_cast<char>(group4);
  a[14] = static_cast<char>(last >> 8), a[15] = static_cast<char>(last);
  return a;
}
std::string Mapped(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  return std::string(10, '\0') + "\xFF\xFF" + V4(a, b, c, d, 0);
}

class AdmissionTest : public TrackerTest {
 protected:
  bool Admit(const std::string& address) {
    sockets.push_back(new Probe(loop, &destroyed));
    SetCompactAddress(sockets.back()->peerAddress, address);
    Probe& s = *sockets.back();
    s.admitted = loop.admission.Admit(tracker, s.peerAddress);
    return s.admitted;
  }
  IoPortContext loop{tracker};
  int destroyed = 0;
  std::vector<Probe*> sockets;  // owned by the loop's list
};

TEST_F(AdmissionTest, AddressesCountPerIpv4AndPerIpv6Slash64AndAllTogether) {
  tracker.limits.maxConnectionsPerAddress = 2;
  tracker.limits.maxConnections = 5;
  EXPECT_TRUE(Admit(V4(10, 0, 0, 1, 1)));
  EXPECT_TRUE(Admit(V4(10, 0, 0, 1, 2)));
  EXPECT_FALSE(Admit(Mapped(10, 0, 0, 1)));  // the same IPv4 address over IPv6
  EXPECT_TRUE(Admit(V6(0x2001, 1, 1)));
  EXPECT_TRUE(Admit(V6(0x2001, 1, 2)));
  EXPECT_FALSE(Admit(V6(0x2001, 1, 3)));  // the same /64
  EXPECT_TRUE(Admit(V6(0x2001, 2, 1)));
  EXPECT_FALSE(Admit(V4(10, 0, 0, 2, 1)));  // five in all
  EXPECT_EQ(loop.admission.Total(), 5u);
  EXPECT_EQ(tracker.stats.limitHits[kLimitPerAddress], 2u);
  EXPECT_EQ(tracker.stats.limitHits[kLimitConnections], 1u);
  // A place given back is taken again, once: a second release changes nothing.
  ReleaseConnection(*sockets[0]);
  ReleaseConnection(*sockets[0]);
  ReleaseConnection(*sockets[2]);  // never admitted
  EXPECT_EQ(loop.admission.Total(), 4u);
  EXPECT_TRUE(Admit(Mapped(10, 0, 0, 1)));
  EXPECT_FALSE(Admit(V4(10, 0, 0, 3, 1)));
}

}  // namespace
}  // namespace lattice::test
