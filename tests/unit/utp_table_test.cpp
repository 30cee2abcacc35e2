// The patched libutp, driven through its public API over an in-memory
// network: datagrams queued by UTP_SENDTO are handed to the addressed
// context's utp_process_udp. Queueing (rather than delivering inside the
// callback) keeps libutp from being re-entered mid-send, as a real socket
// loop would.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "utp.h"
#include "utp_internal.h"
#include "utp_murmur3.h"

namespace {

std::string addr_key(const sockaddr *sa) {
  std::string k(1, sa->sa_family == AF_INET ? '4' : '6');
  if (sa->sa_family == AF_INET) {
    auto *in = reinterpret_cast<const sockaddr_in *>(sa);
    k.append(reinterpret_cast<const char *>(&in->sin_addr), 4);
    k.append(reinterpret_cast<const char *>(&in->sin_port), 2);
  } else {
    auto *in6 = reinterpret_cast<const sockaddr_in6 *>(sa);
    k.append(reinterpret_cast<const char *>(&in6->sin6_addr), 16);
    k.append(reinterpret_cast<const char *>(&in6->sin6_port), 2);
  }
  return k;
}

struct Net;

struct Node {
  Net *net = nullptr;
  utp_context *ctx = nullptr;
  sockaddr_storage addr{};
  socklen_t len = 0;
  std::vector<utp_socket *> accepted;
  std::map<utp_socket *, std::string> received;
  int connected = 0, destroyed = 0, reconnects_left = 0;
  uint64_t fixed_random = 0;  // nonzero: every random draw returns this
};

struct Datagram {
  Node *from, *to;
  std::vector<uint8_t> bytes;
  int type() const { return bytes[0] >> 4; }  // high nibble of byte 0
  uint16_t connid() const { return uint16_t(bytes[2] << 8 | bytes[3]); }  // big-endian
};

struct Net {
  uint64_t now_ms = 1'000'000;
  uint64_t rng = 0x9e3779b97f4a7c15ULL;
  std::vector<std::unique_ptr<Node>> nodes;
  std::map<std::string, Node *> by_addr;
  std::deque<Datagram> queue;
  std::vector<Datagram> sent;
  Node *server = nullptr;

  static uint64 on_event(utp_callback_arguments *a) {
    Node *n = static_cast<Node *>(utp_context_get_userdata(a->context));
    Net *net = n->net;
    switch (a->callback_type) {
    case UTP_GET_MILLISECONDS: return net->now_ms;
    case UTP_GET_MICROSECONDS: return net->now_ms * 1000;
    case UTP_GET_RANDOM:  // xorshift64, so runs repeat exactly
      if (n->fixed_random) return n->fixed_random;
      net->rng ^= net->rng << 13, net->rng ^= net->rng >> 7, net->rng ^= net->rng << 17;
      return net->rng;
    case UTP_SENDTO: {
      auto it = net->by_addr.find(addr_key(a->address));
      if (it == net->by_addr.end()) return 0;
      net->queue.push_back({n, it->second, {a->buf, a->buf + a->len}});
      net->sent.push_back(net->queue.back());
      return 0;
    }
    case UTP_ON_ACCEPT: n->accepted.push_back(a->socket); return 0;
    case UTP_ON_READ:
      n->received[a->socket].append(reinterpret_cast<const char *>(a->buf), a->len);
      utp_read_drained(a->socket);
      return 0;
    case UTP_ON_STATE_CHANGE:
      if (a->state == UTP_STATE_CONNECT) n->connected++;
      if (a->state == UTP_STATE_EOF) utp_close(a->socket);
      if (a->state == UTP_STATE_DESTROYING) {
        n->destroyed++;
        // Inserting while utp_check_timeouts walks the table must be safe.
        if (n->reconnects_left > 0 && n != net->server) {
          n->reconnects_left--;
          net->connect(n);
        }
      }
      return 0;
    }
    return 0;
  }

  Node *add(const sockaddr_storage &addr, socklen_t len) {
    auto n = std::make_unique<Node>();
    n->net = this;
    n->addr = addr;
    n->len = len;
    n->ctx = utp_init(2);
    // Keyed as the tracker keys its tables, a different secret per node.
    EXPECT_EQ(utp_context_set_hash_secret(n->ctx, rng * (nodes.size() + 1), ~rng), 0);
    utp_context_set_userdata(n->ctx, n.get());
    for (int cb : {UTP_GET_MILLISECONDS, UTP_GET_MICROSECONDS, UTP_GET_RANDOM, UTP_SENDTO,
                   UTP_ON_ACCEPT, UTP_ON_READ, UTP_ON_STATE_CHANGE})
      utp_set_callback(n->ctx, cb, &on_event);
    by_addr[addr_key(reinterpret_cast<const sockaddr *>(&addr))] = n.get();
    nodes.push_back(std::move(n));
    return nodes.back().get();
  }

  utp_socket *connect(Node *from) {
    utp_socket *s = utp_create_socket(from->ctx);
    utp_connect(s, reinterpret_cast<const sockaddr *>(&server->addr), server->len);
    return s;
  }

  void pump() {
    for (int round = 0; round < 100; ++round) {
      while (!queue.empty()) {
        Datagram d = std::move(queue.front());
        queue.pop_front();
        utp_process_udp(d.to->ctx, d.bytes.data(), d.bytes.size(),
                        reinterpret_cast<const sockaddr *>(&d.from->addr), d.from->len);
      }
      for (auto &n : nodes) utp_issue_deferred_acks(n->ctx);
      if (queue.empty()) return;
    }
    ADD_FAILURE() << "in-memory network never went quiet";
  }

  void tick(uint64_t ms) {
    now_ms += ms;
    for (auto &n : nodes) utp_check_timeouts(n->ctx);
    pump();
  }

  ~Net() {
    for (auto &n : nodes)
      if (n->ctx) utp_destroy(n->ctx);
  }
};

Node *add_v4(Net &net, uint32_t ip, uint16_t port) {
  sockaddr_storage ss{};
  auto *in = reinterpret_cast<sockaddr_in *>(&ss);
  in->sin_family = AF_INET;
  in->sin_addr.s_addr = htonl(ip);
  in->sin_port = htons(port);
  return net.add(ss, sizeof(sockaddr_in));
}

Node *add_v6_loopback(Net &net, uint16_t port) {
  sockaddr_storage ss{};
  auto *in6 = reinterpret_cast<sockaddr_in6 *>(&ss);
  in6->sin6_family = AF_INET6;
  in6->sin6_addr.s6_addr[15] = 1;
  in6->sin6_port = htons(port);
  return net.add(ss, sizeof(sockaddr_in6));
}

// Builds a server and clients mixing IPv4 and IPv6 peers, `per_client`
// connections each, and completes every handshake.
std::vector<utp_socket *> connect_all(Net &net, int clients, int per_client) {
  net.server = add_v4(net, 0x7f000001, 6881);
  std::vector<utp_socket *> out;
  for (int c = 0; c < clients; ++c) {
    Node *n = c % 2 ? add_v6_loopback(net, uint16_t(40000 + c)) : add_v4(net, 0x7f000002 + c, 50000);
    for (int i = 0; i < per_client; ++i) out.push_back(net.connect(n));
    net.pump();
  }
  return out;
}

TEST(UtpMurmur3, MatchesPublishedVectors) {
  // SMHasher's self-check: hash i-byte prefixes of 0,1,2.. with seed 256-i,
  // then hash the concatenated results; covers every tail length and seeds.
  uint8_t key[256], all[256 * 16];
  uint64_t h[2];
  for (int i = 0; i < 256; ++i) {
    key[i] = uint8_t(i);
    utp_murmur3_x64_128(key, i, 256 - i, h);
    for (int b = 0; b < 16; ++b) all[i * 16 + b] = uint8_t(h[b / 8] >> (8 * (b % 8)));
  }
  utp_murmur3_x64_128(all, sizeof(all), 0, h);
  EXPECT_EQ(uint32_t(h[0]), 0x6384BA69u);

  const struct { const char *in; uint64_t h1, h2; } vectors[] = {
      {"", 0, 0},
      {"hell", 0x629942693e10f867ULL, 0x92db0b82baeb5347ULL},
      {"The quick brown fox jumps over the lazy dog", 0xe34bbc7bbc071b6cULL, 0x7a433ca9c49a9347ULL},
  };
  for (const auto &v : vectors) {
    utp_murmur3_x64_128(v.in, std::strlen(v.in), 0, h);
    EXPECT_EQ(h[0], v.h1) << v.in;
    EXPECT_EQ(h[1], v.h2) << v.in;
  }
}

Node *owner(utp_socket *s) {
  return static_cast<Node *>(utp_context_get_userdata(utp_get_context(s)));
}

// Writes "stream-<i>" on every client socket and returns, per client socket,
// the accepted socket that received exactly that text (null if none did).
std::vector<utp_socket *> send_and_pair(Net &net, const std::vector<utp_socket *> &clients) {
  for (size_t i = 0; i < clients.size(); ++i) {
    std::string text = "stream-" + std::to_string(i);
    EXPECT_EQ(utp_write(clients[i], text.data(), text.size()), ssize_t(text.size()));
  }
  net.pump();
  std::vector<utp_socket *> peer(clients.size(), nullptr);
  for (utp_socket *s : net.server->accepted) {
    const std::string &got = net.server->received[s];
    size_t i = got.rfind("stream-", 0) == 0 ? std::stoul(got.substr(7)) : clients.size();
    EXPECT_LT(i, clients.size()) << "unexpected bytes: " << got;
    if (i >= clients.size()) continue;
    EXPECT_EQ(got, "stream-" + std::to_string(i));
    EXPECT_EQ(peer[i], nullptr) << "two sockets got stream " << i;
    peer[i] = s;
  }
  return peer;
}

TEST(UtpTable, AcceptsPastOldLimitAndRoutesEachStream) {
  Net net;
  auto clients = connect_all(net, 7, 500);  // 3500: the stock library stops at 3000
  ASSERT_EQ(net.server->accepted.size(), clients.size());
  int connected = 0;
  for (auto &n : net.nodes) connected += n->connected;
  ASSERT_EQ(connected, int(clients.size()));

  auto peer = send_and_pair(net, clients);
  for (size_t i = 0; i < clients.size(); ++i) {
    ASSERT_NE(peer[i], nullptr) << "stream " << i << " never arrived";
    sockaddr_storage from{};
    socklen_t len = sizeof(from);
    ASSERT_EQ(utp_getpeername(peer[i], reinterpret_cast<sockaddr *>(&from), &len), 0);
    EXPECT_EQ(addr_key(reinterpret_cast<sockaddr *>(&from)),
              addr_key(reinterpret_cast<sockaddr *>(&owner(clients[i])->addr)));
  }
}

TEST(UtpTable, ReceiveIdIsTheIdThePeerAddressesPacketsTo) {
  Net net;
  auto clients = connect_all(net, 2, 20);
  // A seed of 0xffff makes the acceptor's id wrap to 0 on the 16-bit wire.
  Node *wrap = add_v4(net, 0x7f0000fe, 50000);
  wrap->fixed_random = 0xffff;
  clients.push_back(net.connect(wrap));
  net.pump();
  auto peer = send_and_pair(net, clients);

  std::map<std::pair<Node *, bool>, std::set<uint32_t>> ids;  // (client node, on server?) -> ids
  for (size_t i = 0; i < clients.size(); ++i) {
    ASSERT_NE(peer[i], nullptr) << "stream " << i << " never arrived";
    ids[{owner(clients[i]), false}].insert(utp_get_receive_id(clients[i]));
    ids[{owner(clients[i]), true}].insert(utp_get_receive_id(peer[i]));
    // The acceptor receives on the id the connector sends with: its own plus one.
    EXPECT_EQ(utp_get_receive_id(peer[i]), (utp_get_receive_id(clients[i]) + 1) & 0xffff);
  }
  EXPECT_EQ(utp_get_receive_id(peer.back()), 0u);

  // A SYN names the sender's own receive id, every other packet the
  // receiver's; nothing is addressed to an id the accessor did not report.
  std::set<std::pair<Node *, uint32_t>> addressed;
  for (const Datagram &p : net.sent) {
    bool from_server = p.from == net.server, syn = p.type() == 4;
    const std::set<uint32_t> &known = ids[{from_server ? p.to : p.from, !from_server && !syn}];
    EXPECT_EQ(known.count(p.connid()), 1u) << "type " << p.type() << " id " << p.connid();
    if (!syn) addressed.insert({p.to, p.connid()});
  }
  for (auto &[key, set] : ids)
    for (uint32_t id : set)
      EXPECT_EQ(addressed.count(std::make_pair(key.second ? net.server : key.first, id)), 1u) << id;
}

TEST(UtpTable, ClosingDuringTimeoutSweepsAndDestroyIsSafe) {
  Net net;
  auto clients = connect_all(net, 4, 250);
  for (auto &n : net.nodes) n->reconnects_left = 100;
  // Close every client stream; the server closes on EOF. The sockets die
  // inside utp_check_timeouts, whose callbacks open new connections.
  for (utp_socket *c : clients) utp_close(c);
  net.pump();
  for (int i = 0; i < 200 && net.server->destroyed < int(clients.size()); ++i) net.tick(500);
  EXPECT_EQ(net.server->destroyed, int(clients.size()));
  int client_destroyed = -net.server->destroyed;
  for (auto &n : net.nodes) client_destroyed += n->destroyed;
  EXPECT_EQ(client_destroyed, int(clients.size()));
  // 400 reconnects made while sweeping must have completed normally.
  EXPECT_EQ(net.server->accepted.size(), clients.size() + 400);

  // utp_destroy frees what is still open, each exactly once (ASan/LSan
  // catch a double free or a leak; the counts catch a skipped socket).
  for (auto &n : net.nodes) {
    utp_destroy(n->ctx);
    n->ctx = nullptr;
  }
  int total = 0;
  for (auto &n : net.nodes) total += n->destroyed;
  EXPECT_EQ(total, 2 * int(clients.size() + 400));
}

TEST(UtpTable, SecretKeysTheHashAndIsTakenOnlyByAnEmptyTable) {
  Net net;
  connect_all(net, 1, 1);
  // A secret would move every bucket: a table that holds sockets refuses it.
  EXPECT_EQ(utp_context_set_hash_secret(net.server->ctx, 1, 2), -1);

  utp_context *a = utp_init(2), *b = utp_init(2);
  ASSERT_EQ(utp_context_set_hash_secret(a, 1, 2), 0);
  ASSERT_EQ(utp_context_set_hash_secret(b, 3, 4), 0);
  const auto &server = net.server->addr;
  int same = 0;
  for (uint32_t id = 0; id < 64; ++id) {
    UTPSocketKey key(PackedSockAddr(&server, net.server->len), id);
    same += a->utp_sockets->map.hash_function()(key) == b->utp_sockets->map.hash_function()(key);
  }
  EXPECT_EQ(same, 0) << "the secret does not reach the hash";
  utp_destroy(a);
  utp_destroy(b);
}

}  // namespace
