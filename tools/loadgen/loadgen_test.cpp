// The load generator's wire code and its reply/introduction rule, checked
// against the tracker's own request handler: whatever the tracker sends, the
// load generator must count as exactly the reply or the introduction it is,
// or every benchmark number is wrong.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "classify.h"
#include "hostile.h"
#include "layout.h"
#include "options.h"
#include "log/log.h"
#include "log/loop_clock.h"
#include "net/byte_ring.h"
#include "platform/address_family.h"
#include "tracker/peer_registry.h"
#include "tracker/request_handler.h"
#include "tracker/tracker.h"
#include "wire.h"

namespace loadgen {
namespace {

constexpr std::uint32_t kNonce = 0x1234ABCDu;

// One load-generator connection as the tracker sees it. The tracker queues
// introductions through Send; the test queues the replies, so every message's
// true kind is known.
class Client final : public lattice::Connection {
 public:
  explicit Client(std::uint32_t i) : index(i) {
    // 127.0.0.0, port 0x9C00 + i.
    peerAddress.bytes[0] = 127, peerAddress.bytes[4] = 0x9C, peerAddress.bytes[5] = static_cast<std::uint8_t>(i);
    peerAddress.size = 6;
  }
  int Kind() const override { return lattice::Tcp; }
  void ResumeInput() override {}
  bool Queue(const void* data, std::size_t length) { return outbound.Write(data, length) != 0; }
  bool Send(const void* data, std::size_t length) override {
    if (!Queue(data, length)) return false;
    truth.push_back(Verdict::Introduction);
    return true;
  }
  // The framed messages queued so far, oldest first; the ring is emptied.
  std::vector<std::string> TakeMessages() {
    std::string bytes;
    for (std::size_t n; (n = outbound.ContiguousSize()) != 0 && outbound.count != 0; outbound.Consume(n))
      bytes.append(reinterpret_cast<const char*>(outbound.ContiguousData()), n);
    std::vector<std::string> messages;
    for (std::size_t at = 0; at + 4 <= bytes.size(); at += messages.back().size())
      messages.push_back(bytes.substr(at, 4 + ReadBigEndian32(reinterpret_cast<const std::uint8_t*>(&bytes[at]))));
    return messages;
  }
  lattice::ByteRing outbound;
  const std::uint32_t index;
  std::deque<Outstanding> inFlight;
  std::deque<Verdict> truth;
};

class AgainstTracker : public ::testing::Test {
 protected:
  void SetUp() override {
    lattice::SetLoopClock(1700000000);
    tracker.now = 1700000000;
    lattice::SetLogStreamForTesting(log = std::tmpfile());
  }
  void TearDown() override {
    lattice::SetLogStreamForTesting(nullptr);
    std::fclose(log);
  }
  // Sends one request as the load generator would and queues the reply on
  // the requester after the introductions, as framing does.
  void Request(Client& c, const Layout& layout, std::uint32_t peer, Purpose purpose, std::uint32_t shareBytes) {
    RequestFields fields{kNonce, peer, layout.ShareOf(peer), shareBytes, purpose != Purpose::Request};
    std::uint8_t bytes[kMaxRequestSize];
    const std::size_t length = EncodeGetPeers(fields, bytes);
    c.inFlight.push_back({peer, fields.share, purpose == Purpose::Request ? Expect::FullShare : Expect::Nobody, purpose});
    lattice::EncodedMessage reply = lattice::HandleMessage(tracker, c, bytes, length, c.peerAddress);
    ASSERT_NE(reply.length, 0u) << "the tracker dropped a request the load generator made";
    ASSERT_NE(c.outbound.Write(reply.data, reply.length), 0u) << "test sizes overflow the tracker's ring";
    c.truth.push_back(Verdict::Reply);
  }
  // Classifies everything every client has been sent, in order.
  void Drain(std::deque<Client>& clients, const Layout& layout) {
    for (Client& c : clients) {
      for (const std::string& framed : c.TakeMessages()) {
        PeersMessage message;
        ASSERT_TRUE(ParsePeersMessage(reinterpret_cast<const std::uint8_t*>(framed.data() + 4), framed.size() - 4,
                                      message));
        Classification k = Classify(layout, kNonce, c.index, c.inFlight.empty() ? nullptr : &c.inFlight.front(), message);
        ASSERT_FALSE(c.truth.empty());
        EXPECT_EQ(k.verdict, c.truth.front()) << "message on connection " << c.index;
        c.truth.pop_front();
        if (k.verdict == Verdict::Reply) c.inFlight.pop_front(), ++replies, listed += k.listed;
        introductions += k.verdict == Verdict::Introduction;
      }
    }
  }
  lattice::Tracker tracker;
  std::FILE* log = nullptr;
  std::uint64_t replies = 0, introductions = 0, listed = 0;
};

struct Shape {
  std::uint32_t connections, peersPerConnection, shareSize, shareBytes;
};
class EveryMessage : public AgainstTracker, public ::testing::WithParamInterface<Shape> {};

// Warm-up, then rounds in which each connection puts zero to three requests
// in flight before anything is read, so replies queue behind introductions
// and behind each other.
TEST_P(EveryMessage, IsCountedAsTheReplyOrTheIntroductionItIs) {
  const Shape shape = GetParam();
  const Layout layout{shape.connections, shape.peersPerConnection, shape.shareSize};
  std::deque<Client> clients;
  for (std::uint32_t i = 0; i < layout.connections; ++i) clients.emplace_back(i);
  for (std::uint32_t k = 0; k < layout.peersPerConnection; ++k) {
    for (std::uint32_t c = 0; c < layout.connections; ++c)
      Request(clients[c], layout, layout.PeerOf(c, k), Purpose::Announce, shape.shareBytes);
    Drain(clients, layout);
  }
  ASSERT_EQ(replies, layout.TotalPeers());
  ASSERT_EQ(introductions, 0u) << "a warm-up announce must introduce nobody";
  std::uint64_t requests = 0, rng = 12345;
  for (int round = 0; round < 40; ++round) {
    for (std::uint32_t c = 0; c < layout.connections; ++c) {
      rng = rng * 6364136223846793005ULL + 1442695040888963407ULL;
      for (std::uint64_t b = 0; b < rng >> 62; ++b, ++requests)
        Request(clients[c], layout, layout.PeerOf(c, (round + b) % layout.peersPerConnection), Purpose::Request,
                shape.shareBytes);
      Drain(clients, layout);  // the rings hold 8 KiB: read after each burst
    }
  }
  EXPECT_EQ(replies, layout.TotalPeers() + requests);
  EXPECT_EQ(introductions, listed) << "each listed peer is introduced exactly once";
  EXPECT_GT(introductions, 0u);
}

// Rate mode must still reach every connection, or some would never ask.
TEST(SpreadStep, VisitsEveryConnectionOnceInNTurns) {
  for (std::uint32_t n : {1u, 2u, 3u, 10u, 400u, 1000u, 19000u, 65536u}) {
    const std::uint32_t step = SpreadStep(n);
    std::vector<bool> seen(n);
    std::uint64_t cursor = 0;
    for (std::uint32_t i = 0; i < n; ++i, cursor = (cursor + step) % n) seen[cursor] = true;
    EXPECT_EQ(std::count(seen.begin(), seen.end(), true), n) << "n " << n;
  }
}

// The paced hostile modes (the soak's churn and requesters) start exactly
// rate x elapsed of their count, never more than the count.
TEST(PacedTarget, FollowsTheRateAndStopsAtTheCount) {
  constexpr std::int64_t kSecond = 1000000000;
  EXPECT_EQ(PacedTarget(50, 0, 1000), 0u);
  EXPECT_EQ(PacedTarget(50, -kSecond, 1000), 0u);
  EXPECT_EQ(PacedTarget(50, kSecond / 2, 1000), 25u);
  EXPECT_EQ(PacedTarget(50, 3 * kSecond, 1000), 150u);
  EXPECT_EQ(PacedTarget(50, 3 * kSecond + kSecond / 100, 1000), 150u) << "rounds down: 150.5 is not yet 151";
  EXPECT_EQ(PacedTarget(50, 3600 * kSecond, 1000), 1000u);
  EXPECT_EQ(PacedTarget(0, 3600 * kSecond, 1000), 0u);
  EXPECT_EQ(PacedTarget(1e6, 3600 * kSecond, ~0ull), 3600000000ull);
}

// The victim's per-interval line covers only the replies since the last one.
TEST(SummariseInterval, OnlyTheSamplesSinceTheLastReport) {
  std::vector<std::uint32_t> micros = {900000, 800000};  // an earlier interval's slow replies
  for (std::uint32_t i = 1; i <= 100; ++i) micros.push_back(i * 1000);  // 1..100 ms, in this order
  std::swap(micros[2], micros[101]);  // arrival order is not sorted order
  const IntervalLatency l = SummariseInterval(micros, 2);
  EXPECT_EQ(l.replies, 100u);
  EXPECT_DOUBLE_EQ(l.p50Ms, 51.0);
  EXPECT_DOUBLE_EQ(l.p99Ms, 100.0);
  EXPECT_DOUBLE_EQ(l.maxMs, 100.0);
  const IntervalLatency none = SummariseInterval(micros, micros.size());
  EXPECT_EQ(none.replies, 0u);
  EXPECT_EQ(none.p99Ms, -1);
  EXPECT_EQ(SummariseInterval(micros, 0).maxMs, 900.0);
}

// --ports spreads the connections over cluster nodes: a list read wrong
// sends them all to one node, or to a port nobody listens on.
TEST(Options, PortListOrTheSinglePort) {
  auto parse = [](std::vector<std::string> words, Options& o) {
    words.insert(words.begin(), "loadgen");
    words.insert(words.end(), {"--tcp", "3"});
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    return ParseOptions(static_cast<int>(argv.size()), argv.data(), o);
  };
  Options o;
  ASSERT_TRUE(parse({"--ports", "31000,31001,65535"}, o));
  EXPECT_EQ(o.ports, (std::vector<std::uint16_t>{31000, 31001, 65535}));
  Options single;
  ASSERT_TRUE(parse({"--port", "4000"}, single));
  EXPECT_EQ(single.ports, std::vector<std::uint16_t>{4000});
  for (const char* bad : {"", "1,,2", "1,", ",1", "0", "65536", "1,x", "1, 2", "-1", "1.5"}) {
    Options rejected;
    EXPECT_FALSE(parse({"--ports", bad}, rejected)) << "'" << bad << "'";
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, EveryMessage,
                         ::testing::Values(Shape{40, 1, 40, 32},   // sampled shares; 32-byte share ids
                                           Shape{8, 25, 200, 20},  // shares larger than the connections
                                           Shape{12, 1, 16, 20},   // 16 candidates: replies of 14 or 15
                                           Shape{1, 2, 2, 20}));   // own introduction, then a one-entry reply

}  // namespace
}  // namespace loadgen
