// The load generator's wire code and its reply/introduction rule, checked
// against the tracker's own request decoder and request handler: whatever
// the tracker sends, the load generator must count as exactly the reply it
// is or the introduction it is, or every benchmark number is wrong.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "classify.h"
#include "hostile.h"
#include "layout.h"
#include "log/log.h"
#include "log/loop_clock.h"
#include "net/socket.h"
#include "platform/address_family.h"
#include "tracker/get_peers_request.h"
#include "tracker/peer_registry.h"
#include "tracker/request_handler.h"
#include "utp.h"
#include "wire.h"

namespace loadgen {
namespace {

constexpr std::uint32_t kNonce = 0x1234ABCDu;

// One load-generator connection as the tracker sees it: it keeps what the
// tracker queued for it and the requests it has in flight.
class Client final : public lattice::Socket {
 public:
  explicit Client(std::uint32_t i) : Socket(0), index(i) {
    std::memcpy(peerAddress.bytes, &platform::kFamilyInet, 2);
    const std::uint16_t port = static_cast<std::uint16_t>(40000 + i);
    peerAddress.bytes[2] = static_cast<std::uint8_t>(port >> 8);
    peerAddress.bytes[3] = static_cast<std::uint8_t>(port);
    const std::uint8_t ip[4] = {127, 0, 0, 1};
    std::memcpy(peerAddress.bytes + 4, ip, 4);
  }
  int Kind() const override { return lattice::Tcp; }
  // The tracker queues introductions through here; replies are queued by
  // the test itself. So every message's true kind is known.
  void Send(const void* data, std::size_t length) override {
    std::uint64_t before = outbound.count;
    Socket::Send(data, length);
    if (outbound.count != before) truth.push_back(Verdict::Introduction);
  }

  // The framed messages queued so far, oldest first; the ring is emptied.
  std::vector<std::string> TakeMessages() {
    std::string bytes;
    while (outbound.count != 0) {
      std::size_t n = outbound.ContiguousSize();
      bytes.append(reinterpret_cast<const char*>(outbound.ContiguousData()), n);
      outbound.Consume(n);
    }
    std::vector<std::string> messages;
    std::size_t at = 0;
    while (at + 4 <= bytes.size()) {
      std::uint32_t n = ReadBigEndian32(reinterpret_cast<const std::uint8_t*>(bytes.data() + at));
      messages.push_back(bytes.substr(at, 4 + n));
      at += 4 + n;
    }
    EXPECT_EQ(at, bytes.size()) << "the ring ended inside a message";
    return messages;
  }

  const std::uint32_t index;
  std::deque<Outstanding> inFlight;
  std::deque<Verdict> truth;  // what each queued message really is
};

// Sockets cannot move, and a deque never moves what it holds.
using Clients = std::deque<Client>;

// Deterministic "random" bytes so that a failure can be replayed.
bool SeededRandom(std::uint8_t* buffer, std::size_t size) {
  static std::uint64_t state = 0x9E3779B97F4A7C15ULL;
  for (std::size_t i = 0; i < size; ++i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    buffer[i] = static_cast<std::uint8_t>(state);
  }
  return true;
}

class AgainstTracker : public ::testing::Test {
 protected:
  void SetUp() override {
    lattice::ResetRegistry();
    lattice::SetRandomSource(&SeededRandom);
    lattice::SetLoopClock(1700000000);
    logSink = std::tmpfile();
    ASSERT_NE(logSink, nullptr);
    lattice::SetLogStreamForTesting(logSink);
  }
  void TearDown() override {
    lattice::ResetRegistry();
    lattice::SetRandomSource(nullptr);
    lattice::SetLogStreamForTesting(nullptr);
    std::fclose(logSink);
  }

  // Sends one request as the load generator would and queues the tracker's
  // reply on the requester, after the introductions, as FrameMessages does.
  void Request(Client& c, const Layout& layout, std::uint32_t peer, Purpose purpose, std::uint32_t shareBytes) {
    RequestFields fields;
    fields.nonce = kNonce;
    fields.peer = peer;
    fields.share = layout.ShareOf(peer);
    fields.shareLength = shareBytes;
    fields.selectNobody = purpose != Purpose::Request;
    std::uint8_t bytes[kMaxRequestSize];
    std::size_t length = EncodeGetPeers(fields, bytes);
    Outstanding o;
    o.peer = peer;
    o.share = fields.share;
    o.expect = purpose == Purpose::Request ? Expect::FullShare : Expect::Nobody;
    o.purpose = purpose;
    c.inFlight.push_back(o);
    lattice::EncodedMessage reply = lattice::HandleMessage(c, bytes, length, c.peerAddress);
    ASSERT_NE(reply.length, 0u) << "the tracker dropped a request the load generator made";
    ASSERT_NE(c.outbound.Write(reply.data, reply.length), 0u) << "test sizes overflow the tracker's ring";
    c.truth.push_back(Verdict::Reply);
  }

  struct Tally {
    std::uint64_t replies = 0, introductions = 0, listed = 0, wrong = 0;
  };

  // Classifies everything every client has been sent, in order.
  void Drain(Clients& clients, const Layout& layout, Tally& tally) {
    for (Client& c : clients) {
      for (const std::string& framed : c.TakeMessages()) {
        const auto* body = reinterpret_cast<const std::uint8_t*>(framed.data() + 4);
        PeersMessage message;
        ASSERT_TRUE(ParsePeersMessage(body, framed.size() - 4, message));
        const Outstanding* head = c.inFlight.empty() ? nullptr : &c.inFlight.front();
        Classification k = Classify(layout, kNonce, c.index, head, message);
        ASSERT_FALSE(c.truth.empty());
        EXPECT_EQ(k.verdict, c.truth.front()) << "message on connection " << c.index;
        c.truth.pop_front();
        if (k.verdict == Verdict::Reply) {
          c.inFlight.pop_front();
          ++tally.replies;
          tally.listed += k.listed;
        } else if (k.verdict == Verdict::Introduction) {
          ++tally.introductions;
        } else {
          ++tally.wrong;
        }
      }
    }
  }

  std::FILE* logSink = nullptr;
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
  Layout layout{shape.connections, shape.peersPerConnection, shape.shareSize};
  Clients clients;
  for (std::uint32_t i = 0; i < layout.connections; ++i) clients.emplace_back(i);

  Tally tally;
  for (std::uint32_t k = 0; k < layout.peersPerConnection; ++k) {
    for (std::uint32_t c = 0; c < layout.connections; ++c)
      Request(clients[c], layout, layout.PeerOf(c, k), Purpose::Announce, shape.shareBytes);
    Drain(clients, layout, tally);
  }
  ASSERT_EQ(tally.replies, layout.TotalPeers());
  ASSERT_EQ(tally.introductions, 0u) << "a warm-up announce must introduce nobody";

  std::uint64_t requests = 0;
  std::uint64_t rng = 12345;
  std::vector<std::uint32_t> nextPeer(layout.connections, 0);
  for (int round = 0; round < 40; ++round) {
    for (std::uint32_t c = 0; c < layout.connections; ++c) {
      rng = rng * 6364136223846793005ULL + 1442695040888963407ULL;
      const std::uint32_t burst = static_cast<std::uint32_t>(rng >> 62);  // 0 to 3
      for (std::uint32_t b = 0; b < burst; ++b) {
        std::uint32_t peer = layout.PeerOf(c, nextPeer[c]++ % layout.peersPerConnection);
        Request(clients[c], layout, peer, Purpose::Request, shape.shareBytes);
        ++requests;
      }
      // Read after each burst: the tracker's rings hold 8 KiB, and a test
      // must not lose messages to them.
      Drain(clients, layout, tally);
    }
  }
  EXPECT_EQ(tally.wrong, 0u);
  EXPECT_EQ(tally.replies, layout.TotalPeers() + requests);
  EXPECT_EQ(tally.introductions, tally.listed) << "each listed peer is introduced exactly once";
  EXPECT_GT(tally.introductions, 0u);
  for (const Client& c : clients) EXPECT_TRUE(c.inFlight.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, EveryMessage,
    ::testing::Values(Shape{20, 1, 5, 20},     // small shares, each peer on its own connection
                      Shape{40, 1, 40, 32},    // shares above 15 are sampled; 32-byte share ids
                      Shape{8, 25, 200, 20},   // a share larger than the connections: self-introductions
                      Shape{30, 3, 20, 20},    // several peers per connection in different shares
                      Shape{12, 1, 16, 20},    // 16 candidates: replies of 14 or 15
                      Shape{1, 2, 2, 20}));    // own introduction, then a one-entry reply

TEST_F(AgainstTracker, RequestsDecodeInTheTrackerToWhatWasMeant) {
  for (std::uint32_t shareBytes : {20u, 32u}) {
    for (bool nobody : {false, true}) {
      RequestFields fields{kNonce, 77777, 4242, shareBytes, nobody};
      std::uint8_t bytes[kMaxRequestSize];
      std::size_t length = EncodeGetPeers(fields, bytes);
      lattice::GetPeersRequest r;
      ASSERT_TRUE(lattice::ParseGetPeers(bytes, length, r));
      EXPECT_EQ(r.type, lattice::RequestType::GetPeers);
      std::uint32_t peer = 0, share = 0;
      ASSERT_NE(r.peer, nullptr);
      EXPECT_TRUE(DecodePeerId(kNonce, r.peer, &peer));
      EXPECT_EQ(peer, 77777u);
      ASSERT_EQ(r.shareLength, shareBytes);
      EXPECT_TRUE(DecodeShareId(kNonce, r.share, r.shareLength, &share));
      EXPECT_EQ(share, 4242u);
      EXPECT_EQ(r.lp, LocalPortOf(77777));
      ASSERT_EQ(r.pwl.size(), nobody ? 1u : 0u);
      if (nobody) {
        EXPECT_TRUE(DecodePeerId(kNonce, r.pwl.begin()->bytes.data(), &peer) && peer == kNobody);
      }
    }
  }
}

// The id-stuffing mode's requests must reach the tracker's bounds as the
// sizes they claim, not be dropped earlier as malformed.
TEST_F(AgainstTracker, StuffedRequestsCarryLaOfTheirSize) {
  for (std::uint32_t laBytes : {0u, 9u, 10u, 65536u}) {
    std::vector<std::uint8_t> bytes;
    EncodeGetPeersWithAddresses(RequestFields{kNonce, 31337, 7, 20, false}, laBytes, bytes);
    lattice::GetPeersRequest r;
    ASSERT_TRUE(lattice::ParseGetPeers(bytes.data(), bytes.size(), r)) << laBytes;
    const std::size_t encoded = std::to_string(laBytes).size() + 1 + laBytes;
    EXPECT_EQ(r.la.length, encoded);
    EXPECT_EQ(r.laList.length, encoded);
    std::uint32_t peer = 0;
    ASSERT_NE(r.peer, nullptr);
    EXPECT_TRUE(DecodePeerId(kNonce, r.peer, &peer) && peer == 31337u);
  }
}

// A flood SYN must open a connection in a stock uTP stack, or the flood
// measures nothing; and a burst's replies are counted only in their order.
TEST(Hostile, SynOpensAUtpConnectionAndRepliesCountInOrder) {
  struct Seen {
    int accepted = 0;
    std::vector<std::uint8_t> reply;
  } seen;
  utp_context* context = utp_init(2);
  utp_context_set_userdata(context, &seen);
  utp_set_callback(context, UTP_ON_ACCEPT, [](utp_callback_arguments* a) -> uint64 {
    ++static_cast<Seen*>(utp_context_get_userdata(a->context))->accepted;
    return 0;
  });
  utp_set_callback(context, UTP_SENDTO, [](utp_callback_arguments* a) -> uint64 {
    static_cast<Seen*>(utp_context_get_userdata(a->context))->reply.assign(a->buf, a->buf + a->len);
    return 0;
  });
  std::uint8_t syn[kUtpHeaderSize];
  EncodeUtpSyn(0xBEEF, 0x1234, 1000, syn);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_port = htons(40000);
  from.sin_addr.s_addr = htonl(0x7F000105u);
  EXPECT_EQ(utp_process_udp(context, syn, sizeof syn, reinterpret_cast<sockaddr*>(&from), sizeof from), 1);
  EXPECT_EQ(seen.accepted, 1);
  ASSERT_GE(seen.reply.size(), kUtpHeaderSize);
  EXPECT_EQ(seen.reply[0], 0x21) << "an ST_STATE of version 1";
  EXPECT_EQ(seen.reply[2] << 8 | seen.reply[3], 0xBEEF) << "sent to the SYN's connection id";
  EXPECT_EQ(seen.reply[18] << 8 | seen.reply[19], 0x1234) << "acknowledging the SYN";
  utp_destroy(context);

  const std::vector<std::uint32_t> burst = {1, 2, 3, 4, 5};
  EXPECT_EQ(CountInOrder(burst, {1, 2, 3, 4, 5}), 5u);
  EXPECT_EQ(CountInOrder(burst, {1, 3, 5}), 3u) << "lost replies only skip";
  EXPECT_EQ(CountInOrder(burst, {2, 1, 3}), 2u) << "a reply before its predecessor";
  EXPECT_EQ(CountInOrder(burst, {1, 9, 2}), 2u) << "a stray";
}

TEST(Ids, DecodeOnlyToThemselves) {
  for (std::uint32_t index : {0u, 1u, 255u, 65536u, 99999u, 0xFFFFFFFEu}) {
    std::uint8_t id[kPeerIdSize];
    MakePeerId(kNonce, index, id);
    std::uint32_t back = 0;
    ASSERT_TRUE(DecodePeerId(kNonce, id, &back));
    EXPECT_EQ(back, index);
    EXPECT_FALSE(DecodePeerId(kNonce + 1, id, &back)) << "an id of another run";
    for (std::size_t bit = 0; bit < kPeerIdSize * 8; ++bit) {
      id[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
      EXPECT_FALSE(DecodePeerId(kNonce, id, &back)) << "bit " << bit;
      id[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    }
    for (std::uint32_t length : {20u, 32u}) {
      std::uint8_t share[32];
      MakeShareId(kNonce, index, length, share);
      ASSERT_TRUE(DecodeShareId(kNonce, share, length, &back));
      EXPECT_EQ(back, index);
      EXPECT_FALSE(DecodeShareId(kNonce, share, length == 20 ? 32 : 20, &back)) << "the length is part of it";
      share[length - 1] ^= 1;
      EXPECT_FALSE(DecodeShareId(kNonce, share, length, &back));
    }
  }
}

// A real reply from the tracker, damaged in every way a broken stream could.
TEST_F(AgainstTracker, DamagedMessagesAreRejected) {
  Layout layout{3, 1, 3};
  Clients clients;
  for (std::uint32_t i = 0; i < 3; ++i) clients.emplace_back(i);
  for (std::uint32_t i = 0; i < 3; ++i) Request(clients[i], layout, i, Purpose::Announce, 20);
  for (Client& c : clients) c.TakeMessages();
  Request(clients[0], layout, 0, Purpose::Request, 20);
  std::vector<std::string> messages = clients[0].TakeMessages();
  ASSERT_EQ(messages.size(), 1u);
  const std::string body = messages[0].substr(4);
  PeersMessage m;
  auto parse = [&](const std::string& b) {
    return ParsePeersMessage(reinterpret_cast<const std::uint8_t*>(b.data()), b.size(), m);
  };
  ASSERT_TRUE(parse(body));
  EXPECT_EQ(m.count, 2u);
  for (std::size_t n = 0; n < body.size(); ++n) EXPECT_FALSE(parse(body.substr(0, n))) << "cut at " << n;
  EXPECT_FALSE(parse(body + "e")) << "a byte after the dictionary";
  std::string renamed = body;
  renamed.replace(renamed.find("5:peers5:"), 7, "5:peerz");
  EXPECT_FALSE(parse(renamed)) << "\"m\" must be \"peers\"";
  std::string noId = body;
  noId.replace(noId.find("1:p20:"), 3, "1:q");
  EXPECT_FALSE(parse(noId)) << "an entry without \"p\"";
}

// Messages that are well formed but cannot be for this connection.
TEST_F(AgainstTracker, MessagesNoTrackerWouldSendHereAreFlagged) {
  Layout layout{10, 1, 5};  // shares {0..4} and {5..9}
  Clients clients;
  for (std::uint32_t i = 0; i < 10; ++i) clients.emplace_back(i);
  for (std::uint32_t i = 0; i < 10; ++i) Request(clients[i], layout, i, Purpose::Announce, 20);
  for (Client& c : clients) c.TakeMessages();
  Request(clients[0], layout, 0, Purpose::Request, 20);
  std::vector<std::string> reply = clients[0].TakeMessages();
  std::vector<std::string> intro = clients[1].TakeMessages();
  ASSERT_EQ(reply.size(), 1u);
  ASSERT_EQ(intro.size(), 1u);
  auto classify = [&](const std::string& framed, std::uint32_t c, const Outstanding* head) {
    PeersMessage m;
    EXPECT_TRUE(ParsePeersMessage(reinterpret_cast<const std::uint8_t*>(framed.data() + 4), framed.size() - 4, m));
    return Classify(layout, kNonce, c, head, m).verdict;
  };
  Outstanding forPeer0{0, 0, Expect::FullShare, Purpose::Request};
  Outstanding forPeer5{5, 1, Expect::FullShare, Purpose::Request};
  Outstanding announce0{0, 0, Expect::Nobody, Purpose::Announce};
  EXPECT_EQ(classify(reply[0], 0, &forPeer0), Verdict::Reply);
  EXPECT_EQ(classify(reply[0], 0, nullptr), Verdict::Unexpected) << "a reply nobody asked for";
  EXPECT_EQ(classify(reply[0], 5, &forPeer5), Verdict::Unexpected) << "a reply for another share";
  EXPECT_EQ(classify(reply[0], 0, &announce0), Verdict::Unexpected) << "a warm-up reply lists nobody";
  EXPECT_EQ(classify(intro[0], 1, nullptr), Verdict::Introduction);
  EXPECT_EQ(classify(intro[0], 6, nullptr), Verdict::Unexpected) << "connection 6 carries nobody of share 0";
  Layout otherRun = layout;
  PeersMessage m;
  ASSERT_TRUE(ParsePeersMessage(reinterpret_cast<const std::uint8_t*>(reply[0].data() + 4), reply[0].size() - 4, m));
  EXPECT_EQ(Classify(otherRun, kNonce + 1, 0, &forPeer0, m).verdict, Verdict::Malformed) << "ids of another run";
}

TEST(LayoutTest, CarriesOtherMemberMatchesACount) {
  for (std::uint32_t n : {1u, 3u, 7u}) {
    for (std::uint32_t m : {1u, 2u, 5u}) {
      for (std::uint32_t z : {1u, 2u, 4u, 9u, 40u}) {
        Layout layout{n, m, z};
        for (std::uint32_t c = 0; c < n; ++c) {
          for (std::uint32_t s = 0; s < layout.ShareCount(); ++s) {
            for (std::uint32_t except = 0; except < layout.TotalPeers(); ++except) {
              bool expected = false;
              for (std::uint32_t g = 0; g < layout.TotalPeers(); ++g)
                expected |= layout.ConnectionOf(g) == c && layout.ShareOf(g) == s && g != except;
              ASSERT_EQ(layout.CarriesOtherMember(c, s, except), expected)
                  << "n=" << n << " m=" << m << " z=" << z << " c=" << c << " s=" << s << " except=" << except;
            }
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace loadgen
