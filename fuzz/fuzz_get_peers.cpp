// Feeds arbitrary bytes to the request decoder as one whole message, and runs
// each well-formed "get_peers" through the handler in a small populated share,
// checking the reply and the introductions against what was registered.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "fake_socket.h"
#include "fuzz_support.h"
#include "log/loop_clock.h"
#include "tracker/get_peers_request.h"
#include "tracker/request_handler.h"

using namespace lattice;
using namespace lattice_fuzz;

namespace {

constexpr std::int64_t kTime = 1700000000;
constexpr std::size_t kMaxListed = 15;

bool Within(const std::uint8_t* p, std::uint64_t length, const std::uint8_t* begin, const std::uint8_t* end) {
  return p >= begin && p <= end && length <= static_cast<std::uint64_t>(end - p);
}

// A raw la value must itself read back as one string under the digit rule.
bool IsOneString(const ByteView& v) {
  std::uint64_t i = 0;
  std::uint32_t length = 0;
  while (i < v.length && v.data[i] >= '0' && v.data[i] <= '9') length = length * 10u + (v.data[i++] - '0');
  return i < v.length && v.data[i] == ':' && v.length - i - 1 == length;
}

std::string ViewBytes(const ByteView& v) { return v.empty() ? std::string() : Bytes(v.data, v.length); }

// What a successful decode promises about the views into the message.
void CheckDecoded(const GetPeersRequest& r, const std::uint8_t* message, std::uint64_t total) {
  FUZZ_CHECK(total > 4 && message[4] == 'd' && message[total - 1] == 'e');
  // Nothing may point at the prefix, the opening "d" or the closing "e".
  const std::uint8_t* begin = message + 5;
  const std::uint8_t* end = message + total - 1;
  if (r.share != nullptr) {
    FUZZ_CHECK(r.shareLength == 20 || r.shareLength == 32);
    FUZZ_CHECK(Within(r.share, r.shareLength, begin, end));
  } else {
    FUZZ_CHECK(r.shareLength == 0);
  }
  if (r.peer != nullptr) FUZZ_CHECK(Within(r.peer, 20, begin, end));
  for (const ByteView* v : {&r.la, &r.laList}) {
    if (v->empty()) continue;
    FUZZ_CHECK(Within(v->data, v->length, begin, end));
    FUZZ_CHECK(IsOneString(*v));
  }
}

// Writing the decoded fields out again and decoding that must give the same
// request: a field lost or misread on the first pass shows up here.
void CheckRoundTrip(const GetPeersRequest& r) {
  std::string again = WriteRequest(r);
  std::vector<std::uint8_t> buffer(again.begin(), again.end());
  GetPeersRequest s;
  FUZZ_CHECK(ParseGetPeers(buffer.data(), buffer.size(), s));
  FUZZ_CHECK(s.type == r.type);
  FUZZ_CHECK(s.shareLength == r.shareLength);
  FUZZ_CHECK((s.share == nullptr) == (r.share == nullptr));
  if (r.share != nullptr) FUZZ_CHECK(std::memcmp(s.share, r.share, r.shareLength) == 0);
  FUZZ_CHECK((s.peer == nullptr) == (r.peer == nullptr));
  if (r.peer != nullptr) FUZZ_CHECK(std::memcmp(s.peer, r.peer, 20) == 0);
  FUZZ_CHECK(s.lp == r.lp && s.up == r.up && s.pv == r.pv);
  FUZZ_CHECK(ViewBytes(s.la) == ViewBytes(r.la));
  FUZZ_CHECK(ViewBytes(s.laList) == ViewBytes(r.laList));
  FUZZ_CHECK(s.pwl == r.pwl);
}

bool Decode(const std::uint8_t* message, std::uint64_t total, GetPeersRequest& r) {
  if (!ParseGetPeers(message, total, r)) return false;
  CheckDecoded(r, message, total);
  CheckRoundTrip(r);
  return true;
}

struct Connection {
  std::unique_ptr<FakeSocket> socket;
  std::string address;  // compact form, empty when the family has none
};

Connection MakeConnection(int kind, int family, std::uint8_t host) {
  Connection c{std::make_unique<FakeSocket>(kind), {}};
  std::uint16_t port = static_cast<std::uint16_t>(6881 + host);
  if (family == 0) {
    const std::uint8_t v4[4] = {127, 0, 0, host};
    SetIpv4(c.socket->peerAddress, v4, port);
  } else if (family == 1) {
    std::uint8_t v6[16] = {};
    v6[15] = host;
    SetIpv6(c.socket->peerAddress, v6, port);
  }  // otherwise the storage stays zero: no family the tracker can write
  std::uint8_t compact[18];
  c.address = Bytes(compact, CompactForm(c.socket->peerAddress, compact));
  return c;
}

std::string OutboundBytes(const ByteRing& ring) {
  std::string out;
  for (std::uint64_t i = 0; i < ring.count; ++i) out += static_cast<char>(ring.data[(ring.head + i) % ring.capacity]);
  return out;
}

PeersMessage ReadMessage(const std::string& bytes) {
  return ReadPeersMessage(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

PeersMessage ReadReply(const EncodedMessage& reply, const GetPeersRequest& r) {
  FUZZ_CHECK(reply.length != 0);
  PeersMessage m = ReadPeersMessage(reply.data, reply.length);
  FUZZ_CHECK(m.share == Bytes(r.share, r.shareLength));
  FUZZ_CHECK(m.time == static_cast<std::uint64_t>(kTime));
  return m;
}

// Another peer of the share, with one connection or, now and then, two.
struct Other {
  std::string id;
  std::uint64_t lp = 0;
  std::vector<Connection> connections;
  std::vector<const Connection*> Bound() const {
    std::vector<const Connection*> out;
    for (const Connection& c : connections) out.push_back(&c);
    return out;
  }
};

void ClearAll(std::vector<Other>& others) {
  for (Other& o : others)
    for (Connection& c : o.connections) c.socket->outbound.Clear();
}

// The addresses the requester's entry must list for one transport, in binding order.
std::vector<std::string> ListedAddresses(const std::vector<const Connection*>& bound, int kind) {
  std::vector<std::string> out;
  for (const Connection* c : bound)
    if (c->socket->Kind() == kind && !c->address.empty()) out.push_back(c->address);
  return out;
}

void Exercise(const GetPeersRequest& request, const std::uint8_t* message, std::uint64_t total,
              std::uint64_t choice) {
  SetLoopClock(kTime);
  const std::string requesterId = Bytes(request.peer, 20);
  const std::string share = Bytes(request.share, request.shareLength);

  // Others of the share: ids of 20 equal letters, so seeds can name them in
  // "pwl"; every fourth one is connected over both transports.
  std::vector<Other> others;
  others.reserve(21);
  std::map<std::string, std::size_t> otherById;
  std::size_t wanted = (choice >> 8) % 21;
  for (std::size_t i = 0; i < wanted; ++i) {
    Other o;
    o.id.assign(20, static_cast<char>('A' + i));
    if (o.id == requesterId) continue;
    o.lp = 1000 + i;
    int kind = i % 2 == 0 ? Tcp : Utp;
    o.connections.push_back(MakeConnection(kind, static_cast<int>(i % 3), static_cast<std::uint8_t>(10 + i)));
    if (i % 4 == 3)
      o.connections.push_back(MakeConnection(kind == Tcp ? Utp : Tcp, static_cast<int>((i + 1) % 3), static_cast<std::uint8_t>(40 + i)));
    others.push_back(std::move(o));
    otherById[others.back().id] = others.size() - 1;
    GetPeersRequest r;
    r.type = RequestType::GetPeers;
    r.peer = reinterpret_cast<const std::uint8_t*>(others.back().id.data());
    r.share = request.share;
    r.shareLength = request.shareLength;
    r.lp = static_cast<std::uint32_t>(others.back().lp);
    std::string m = WriteRequest(r);
    for (Connection& c : others.back().connections) {
      FakeSocket& s = *c.socket;
      ReadReply(HandleMessage(s, reinterpret_cast<const std::uint8_t*>(m.data()), m.size(), s.peerAddress), r);
    }
  }
  ClearAll(others);

  // The requester, and sometimes a second connection of the same peer.
  int kind = (choice & 1) ? Utp : Tcp;
  Connection requester = MakeConnection(kind, static_cast<int>((choice >> 1) % 3), 1);
  std::vector<Connection> twin;
  std::vector<const Connection*> bound;
  if (choice & 8) {
    twin.push_back(MakeConnection(kind == Tcp ? Utp : Tcp, static_cast<int>((choice >> 4) % 3), 2));
    GetPeersRequest r;
    r.type = RequestType::GetPeers;
    r.peer = request.peer;
    r.share = request.share;
    r.shareLength = request.shareLength;
    std::string m = WriteRequest(r);
    FakeSocket& s = *twin.back().socket;
    ReadReply(HandleMessage(s, reinterpret_cast<const std::uint8_t*>(m.data()), m.size(), s.peerAddress), r);
    bound.push_back(&twin.back());
    ClearAll(others);
    twin.back().socket->outbound.Clear();
  }
  bound.push_back(&requester);

  FakeSocket& rs = *requester.socket;
  PeersMessage reply = ReadReply(HandleMessage(rs, message, total, rs.peerAddress), request);

  // Who could be listed: the others, narrowed by "pwl" when it names anyone.
  std::size_t candidates = 0;
  bool requesterCandidate = request.pwl.empty() || request.pwl.count(PeerId::From(request.peer)) != 0;
  for (const auto& [id, at] : otherById) {
    if (request.pwl.empty() || request.pwl.count(PeerId::From(reinterpret_cast<const std::uint8_t*>(id.data()))) != 0)
      ++candidates;
  }
  std::size_t n = candidates + (requesterCandidate ? 1 : 0);
  if (n <= kMaxListed) {
    FUZZ_CHECK(reply.peers.size() == candidates);
  } else {
    FUZZ_CHECK(reply.peers.size() == kMaxListed || reply.peers.size() == kMaxListed - 1);
  }

  std::set<std::string> listed;
  for (const Entry& e : reply.peers) {
    FUZZ_CHECK(e.p != requesterId);
    auto found = otherById.find(e.p);
    FUZZ_CHECK(found != otherById.end());
    if (!request.pwl.empty())
      FUZZ_CHECK(request.pwl.count(PeerId::From(reinterpret_cast<const std::uint8_t*>(e.p.data()))) != 0);
    const Other& o = others[found->second];
    FUZZ_CHECK(e.a == o.connections.front().address);  // the connection bound first
    FUZZ_CHECK(e.hasLists);
    FUZZ_CHECK(e.tcp == ListedAddresses(o.Bound(), Tcp));
    FUZZ_CHECK(e.utp == ListedAddresses(o.Bound(), Utp));
    FUZZ_CHECK(e.lp == o.lp);
    FUZZ_CHECK(e.up == 0 && e.la.empty() && e.laList.empty());
    listed.insert(e.p);
  }

  // Each connection of a listed peer holds exactly one introduction of the
  // requester; nobody else was sent anything.
  const std::string la = ViewBytes(request.la);
  const std::string laList = ViewBytes(request.laList);
  auto checkIntroduction = [&](const ByteRing& ring, bool wasListed) {
    if (!wasListed) {
      FUZZ_CHECK(ring.count == 0);
      return;
    }
    if (ring.count == 0) {
      // Refused only when it exceeds the ring's limit, which takes huge la values.
      FUZZ_CHECK(la.size() + laList.size() > ByteRing::kMaxCapacity - 512);
      return;
    }
    PeersMessage intro = ReadMessage(OutboundBytes(ring));
    FUZZ_CHECK(intro.share == share && intro.time == static_cast<std::uint64_t>(kTime));
    FUZZ_CHECK(intro.peers.size() == 1);
    const Entry& e = intro.peers[0];
    FUZZ_CHECK(e.p == requesterId);
    FUZZ_CHECK(e.a == requester.address);
    FUZZ_CHECK(e.hasLists);
    FUZZ_CHECK(e.tcp == ListedAddresses(bound, Tcp));
    FUZZ_CHECK(e.utp == ListedAddresses(bound, Utp));
    FUZZ_CHECK(e.la == la && e.laList == laList);
    FUZZ_CHECK(e.lp == (request.lp & 0xffff) && e.up == (request.up & 0xffff));
  };
  for (const Other& o : others) {
    for (const Connection& c : o.connections) checkIntroduction(c.socket->outbound, listed.count(o.id) != 0);
  }
  FUZZ_CHECK(rs.outbound.count == 0);
  for (const Connection& c : twin) FUZZ_CHECK(c.socket->outbound.count == 0);

  // Asking again refreshes, and binds nothing new.
  ClearAll(others);
  ReadReply(HandleMessage(rs, message, total, rs.peerAddress), request);
  FUZZ_CHECK(rs.registrations.size() == 1);
  const std::vector<Socket*>* connections = FindPeerConnections(PeerId::From(request.peer));
  FUZZ_CHECK(connections != nullptr && connections->size() == bound.size());
  FUZZ_CHECK(connections->back() == &rs);

  // Closing removes the requester once its last connection is gone, and
  // everyone once all are.
  ShareId shareId = ShareId::From(request.share, request.shareLength);
  auto countRequester = [&] {
    const std::vector<PeerRecord*>* records = FindShareRecords(shareId);
    if (records == nullptr) return std::ptrdiff_t{0};  // emptied, so erased
    return std::count_if(records->begin(), records->end(), [&](const PeerRecord* p) {
      return Bytes(p->id.bytes.data(), 20) == requesterId;
    });
  };
  FUZZ_CHECK(countRequester() == 1);
  rs.Close();
  FUZZ_CHECK(countRequester() == (twin.empty() ? 0 : 1));
  for (Connection& c : twin) c.socket->Close();
  for (Other& o : others)
    for (Connection& c : o.connections) c.socket->Close();
  FUZZ_CHECK(FindShareRecords(shareId) == nullptr);  // the emptied share is erased
  FUZZ_CHECK(FindPeerConnections(PeerId::From(request.peer)) == nullptr);
  for (const auto& [id, at] : otherById)
    FUZZ_CHECK(FindPeerConnections(PeerId::From(reinterpret_cast<const std::uint8_t*>(id.data()))) == nullptr);
}

// Decodes one whole message and, when it is a usable "get_peers", hands it
// to the handler in a fresh registry.
void Try(const std::uint8_t* message, std::uint64_t total, std::uint64_t choice) {
  GetPeersRequest r;
  if (Decode(message, total, r) && r.type == RequestType::GetPeers && r.peer != nullptr && r.share != nullptr) {
    Exercise(r, message, total, choice);
    ResetRegistry();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  StartInput(data, size, 0);
  const std::uint64_t choice = HashInput(data, size);

  // As sent: the first four bytes are the prefix, whatever they say. Each
  // buffer ends where the message does, so any read past it is caught.
  {
    std::unique_ptr<std::uint8_t[]> message(new std::uint8_t[size == 0 ? 1 : size]);
    if (size != 0) std::memcpy(message.get(), data, size);
    Try(message.get(), size, choice);
  }

  // The whole input as the body behind a prefix of its real length.
  std::size_t total = size + 4;
  std::unique_ptr<std::uint8_t[]> message(new std::uint8_t[total]);
  message[0] = static_cast<std::uint8_t>(size >> 24);
  message[1] = static_cast<std::uint8_t>(size >> 16);
  message[2] = static_cast<std::uint8_t>(size >> 8);
  message[3] = static_cast<std::uint8_t>(size);
  if (size != 0) std::memcpy(message.get() + 4, data, size);
  Try(message.get(), total, choice);
  return 0;
}
