// Regressions of the libutp patch, driven through its public API over an
// in-memory network: datagrams queued by UTP_SENDTO are handed to the
// addressed context's utp_process_udp, never from inside the callback, as a
// real socket loop would.
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

namespace {

std::string Key(const sockaddr_storage& a) {
  const auto* in = reinterpret_cast<const sockaddr_in*>(&a);
  const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&a);
  return a.ss_family == AF_INET ? std::string(reinterpret_cast<const char*>(&in->sin_addr), 4) +
                                      std::string(reinterpret_cast<const char*>(&in->sin_port), 2)
                                : std::string(reinterpret_cast<const char*>(&in6->sin6_addr), 16) +
                                      std::string(reinterpret_cast<const char*>(&in6->sin6_port), 2);
}

struct Net;
struct Node {
  Net* net = nullptr;
  utp_context* ctx = nullptr;
  sockaddr_storage addr{};
  socklen_t len = 0;
  std::vector<utp_socket*> accepted;
  std::map<utp_socket*, std::string> received;
  int connected = 0, destroyed = 0, reconnectsLeft = 0;
  uint64_t fixedRandom = 0;  // nonzero: every random draw returns this
};
struct Datagram {
  Node *from, *to;
  std::vector<uint8_t> bytes;
  int Type() const { return bytes[0] >> 4; }
  uint16_t ConnectionId() const { return uint16_t(bytes[2] << 8 | bytes[3]); }
};

struct Net {
  uint64_t nowMs = 1'000'000, rng = 0x9e3779b97f4a7c15ULL;
  std::vector<std::unique_ptr<Node>> nodes;
  std::map<std::string, Node*> byAddress;
  std::deque<Datagram> queue;
  std::vector<Datagram> sent;
  Node* server = nullptr;

  static uint64 OnEvent(utp_callback_arguments* a) {
    Node* n = static_cast<Node*>(utp_context_get_userdata(a->context));
    Net* net = n->net;
    switch (a->callback_type) {
      case UTP_GET_MILLISECONDS: return net->nowMs;
      case UTP_GET_MICROSECONDS: return net->nowMs * 1000;
      case UTP_GET_RANDOM:  // xorshift64, so runs repeat exactly
        if (n->fixedRandom) return n->fixedRandom;
        net->rng ^= net->rng << 13, net->rng ^= net->rng >> 7, net->rng ^= net->rng << 17;
        return net->rng;
      case UTP_SENDTO: {
        sockaddr_storage to{};
        std::memcpy(&to, a->address, a->address_len);
        auto it = net->byAddress.find(Key(to));
        if (it != net->byAddress.end()) {
          net->queue.push_back({n, it->second, {a->buf, a->buf + a->len}});
          net->sent.push_back(net->queue.back());
        }
        return 0;
      }
      case UTP_ON_ACCEPT: n->accepted.push_back(a->socket); return 0;
      case UTP_ON_READ:
        n->received[a->socket].append(reinterpret_cast<const char*>(a->buf), a->len);
        utp_read_drained(a->socket);
        return 0;
      case UTP_ON_STATE_CHANGE:
        if (a->state == UTP_STATE_CONNECT) n->connected++;
        if (a->state == UTP_STATE_EOF) utp_close(a->socket);
        if (a->state == UTP_STATE_DESTROYING) {
          n->destroyed++;
          // Inserting while utp_check_timeouts walks the table must be safe.
          if (n->reconnectsLeft > 0 && n != net->server) n->reconnectsLeft--, net->Connect(n);
        }
        return 0;
    }
    return 0;
  }

  Node* Add(uint16_t port, uint32_t ip4) {  // ip4 0: ::1
    auto n = std::make_unique<Node>();
    n->net = this;
    if (ip4 != 0) {
      auto* in = reinterpret_cast<sockaddr_in*>(&n->addr);
      in->sin_family = AF_INET, in->sin_addr.s_addr = htonl(ip4), in->sin_port = htons(port);
      n->len = sizeof(sockaddr_in);
    } else {
      auto* in6 = reinterpret_cast<sockaddr_in6*>(&n->addr);
      in6->sin6_family = AF_INET6, in6->sin6_addr.s6_addr[15] = 1, in6->sin6_port = htons(port);
      n->len = sizeof(sockaddr_in6);
    }
    n->ctx = utp_init(2);
    // Keyed as the tracker keys its tables, a different secret per node.
    EXPECT_EQ(utp_context_set_hash_secret(n->ctx, rng * (nodes.size() + 1), ~rng), 0);
    utp_context_set_userdata(n->ctx, n.get());
    for (int cb : {UTP_GET_MILLISECONDS, UTP_GET_MICROSECONDS, UTP_GET_RANDOM, UTP_SENDTO, UTP_ON_ACCEPT, UTP_ON_READ,
                   UTP_ON_STATE_CHANGE})
      utp_set_callback(n->ctx, cb, &OnEvent);
    byAddress[Key(n->addr)] = n.get();
    nodes.push_back(std::move(n));
    return nodes.back().get();
  }
  utp_socket* Connect(Node* from) {
    utp_socket* s = utp_create_socket(from->ctx);
    utp_connect(s, reinterpret_cast<const sockaddr*>(&server->addr), server->len);
    return s;
  }
  void Pump() {
    for (int round = 0; round < 100; ++round) {
      while (!queue.empty()) {
        Datagram d = std::move(queue.front());
        queue.pop_front();
        utp_process_udp(d.to->ctx, d.bytes.data(), d.bytes.size(), reinterpret_cast<const sockaddr*>(&d.from->addr),
                        d.from->len);
      }
      for (auto& n : nodes) utp_issue_deferred_acks(n->ctx);
      if (queue.empty()) return;
    }
    ADD_FAILURE() << "in-memory network never went quiet";
  }
  void Tick(uint64_t ms) {
    nowMs += ms;
    for (auto& n : nodes) utp_check_timeouts(n->ctx);
    Pump();
  }
  // A server and clients mixing IPv4 and IPv6, `perClient` connections each.
  std::vector<utp_socket*> ConnectAll(int clients, int perClient) {
    server = Add(6881, 0x7f000001);
    std::vector<utp_socket*> out;
    for (int c = 0; c < clients; ++c) {
      Node* n = c % 2 ? Add(uint16_t(40000 + c), 0) : Add(50000, 0x7f000002 + c);
      for (int i = 0; i < perClient; ++i) out.push_back(Connect(n));
      Pump();
    }
    return out;
  }
  ~Net() {
    for (auto& n : nodes)
      if (n->ctx) utp_destroy(n->ctx);
  }
};

Node* Owner(utp_socket* s) { return static_cast<Node*>(utp_context_get_userdata(utp_get_context(s))); }

TEST(UtpTable, AcceptsPastTheOldLimitRoutesEachStreamAndReportsTheReceiveId) {
  Net net;
  auto clients = net.ConnectAll(7, 500);  // 3500: the stock library stops at 3000
  // A seed of 0xffff makes the acceptor's id wrap to 0 on the 16-bit wire.
  Node* wrap = net.Add(50000, 0x7f0000fe);
  wrap->fixedRandom = 0xffff;
  clients.push_back(net.Connect(wrap));
  net.Pump();
  ASSERT_EQ(net.server->accepted.size(), clients.size());
  for (size_t i = 0; i < clients.size(); ++i) {
    std::string text = "stream-" + std::to_string(i);
    ASSERT_EQ(utp_write(clients[i], text.data(), text.size()), ssize_t(text.size()));
  }
  net.Pump();
  std::vector<utp_socket*> peer(clients.size(), nullptr);
  for (utp_socket* s : net.server->accepted) {
    const std::string& got = net.server->received[s];
    ASSERT_EQ(got.rfind("stream-", 0), 0u) << got;
    size_t i = std::stoul(got.substr(7));
    ASSERT_LT(i, clients.size());
    ASSERT_EQ(peer[i], nullptr) << "two sockets got stream " << i;
    peer[i] = s;
  }
  std::map<std::pair<Node*, bool>, std::set<uint32_t>> ids;  // (client node, on server?) -> ids
  for (size_t i = 0; i < clients.size(); ++i) {
    sockaddr_storage from{};
    socklen_t len = sizeof from;
    ASSERT_EQ(utp_getpeername(peer[i], reinterpret_cast<sockaddr*>(&from), &len), 0);
    EXPECT_EQ(Key(from), Key(Owner(clients[i])->addr));
    // The acceptor receives on the id the connector sends with: its own plus one.
    EXPECT_EQ(utp_get_receive_id(peer[i]), (utp_get_receive_id(clients[i]) + 1) & 0xffff);
    ids[{Owner(clients[i]), false}].insert(utp_get_receive_id(clients[i]));
    ids[{Owner(clients[i]), true}].insert(utp_get_receive_id(peer[i]));
  }
  EXPECT_EQ(utp_get_receive_id(peer.back()), 0u);
  // A SYN names the sender's own receive id, every other packet the receiver's.
  for (const Datagram& p : net.sent) {
    const bool fromServer = p.from == net.server, syn = p.Type() == 4;
    const auto& known = ids[std::make_pair(fromServer ? p.to : p.from, !fromServer && !syn)];
    EXPECT_EQ(known.count(p.ConnectionId()), 1u);
  }
}

TEST(UtpTable, ClosingDuringTimeoutSweepsAndDestroyIsSafe) {
  Net net;
  auto clients = net.ConnectAll(4, 250);
  for (auto& n : net.nodes) n->reconnectsLeft = 100;
  // The server closes on EOF; the sockets die inside utp_check_timeouts,
  // whose callbacks open new connections.
  for (utp_socket* c : clients) utp_close(c);
  net.Pump();
  for (int i = 0; i < 200 && net.server->destroyed < int(clients.size()); ++i) net.Tick(500);
  EXPECT_EQ(net.server->destroyed, int(clients.size()));
  EXPECT_EQ(net.server->accepted.size(), clients.size() + 400);  // the reconnects completed
  // utp_destroy frees what is still open, each exactly once (the sanitizers
  // catch a double free or a leak; the count catches a skipped socket).
  int total = 0;
  for (auto& n : net.nodes) {
    utp_destroy(n->ctx);
    n->ctx = nullptr;
    total += n->destroyed;
  }
  EXPECT_EQ(total, 2 * int(clients.size() + 400));
}

TEST(UtpTable, SecretKeysTheHashAndIsTakenOnlyByAnEmptyTable) {
  Net net;
  net.ConnectAll(1, 1);
  EXPECT_EQ(utp_context_set_hash_secret(net.server->ctx, 1, 2), -1);  // it would move every bucket
  utp_context *a = utp_init(2), *b = utp_init(2);
  ASSERT_EQ(utp_context_set_hash_secret(a, 1, 2), 0);
  ASSERT_EQ(utp_context_set_hash_secret(b, 3, 4), 0);
  int same = 0;
  for (uint32_t id = 0; id < 64; ++id) {
    UTPSocketKey key(PackedSockAddr(&net.server->addr, net.server->len), id);
    same += a->utp_sockets->map.hash_function()(key) == b->utp_sockets->map.hash_function()(key);
  }
  EXPECT_EQ(same, 0) << "the secret does not reach the hash";
  utp_destroy(a);
  utp_destroy(b);
}

}  // namespace
