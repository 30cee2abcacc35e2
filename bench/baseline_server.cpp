// A minimal single-threaded epoll server with the tracker's write pattern: for
// every framed "get_peers" it sends the requester a "peers" reply and pushes
// one introduction to each chosen peer's connection, byte for byte the size
// the tracker sends (entries are cached per peer, so encoding is memcpy). It
// keeps only what that needs: shares, peers and their connections. It is the
// floor of what any single-threaded server can do with the same writes; the
// load generator checks its messages like the tracker's.
//
// Two ways of writing: by default messages are appended to each connection's
// buffer and every touched connection is written once after the epoll batch;
// --write-each writes every message as it is made, as a plain server does.
//
// usage: baseline_server [-p PORT] [--bind ADDR] [--nagle] [--write-each] [--max-seconds N]
// TCP only. Stops on SIGINT/SIGTERM or after --max-seconds (900).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

constexpr std::size_t kMaxListed = 15;
constexpr std::uint32_t kMaxBody = 256 * 1024;
constexpr std::uint32_t kNone = 0xFFFFFFFFu;

volatile sig_atomic_t stopRequested = 0;

struct Key {
  std::uint8_t length = 0;
  std::array<std::uint8_t, 32> bytes{};
  static Key Of(const std::uint8_t* p, std::size_t n) {
    Key k;
    k.length = static_cast<std::uint8_t>(n);
    std::memcpy(k.bytes.data(), p, n);
    return k;
  }
  bool operator==(const Key& o) const {
    return length == o.length && std::memcmp(bytes.data(), o.bytes.data(), length) == 0;
  }
};

struct KeyHash {
  std::size_t operator()(const Key& k) const {
    std::uint64_t h = 0x9E3779B97F4A7C15ULL ^ k.length;
    for (std::size_t i = 0; i < k.length; i += 8) {
      std::uint64_t w = 0;
      std::memcpy(&w, k.bytes.data() + i, k.length - i < 8 ? k.length - i : 8);
      h = (h ^ w) * 0xBF58476D1CE4E5B9ULL;
      h ^= h >> 31;
    }
    return static_cast<std::size_t>(h);
  }
};

struct Connection {
  int fd = -1;
  std::uint8_t address[6] = {};  // IPv4 address and port, as the tracker lists them
  std::vector<std::uint8_t> in;
  std::vector<std::uint8_t> out;
  std::size_t outSent = 0;
  bool dirty = false;
  bool waitingToWrite = false;  // EPOLLOUT asked for: a send would have blocked
  std::vector<std::uint32_t> peers;
};

struct Peer {
  Key id;
  std::uint32_t share = kNone;
  std::uint32_t position = 0;  // index in the share's member list
  int fd = -1;
  std::uint32_t lp = 0;
  std::string entry;           // this peer's encoded list entry
};

struct Share {
  Key id;
  std::vector<std::uint32_t> members;
};

struct Request {
  const std::uint8_t* peer = nullptr;
  const std::uint8_t* share = nullptr;
  std::size_t shareLength = 0;
  const std::uint8_t* pwl = nullptr;
  std::size_t pwlLength = 0;
  bool hasPwl = false;
  std::uint32_t lp = 0;
  bool getPeers = false;
};

// The flat dictionary of a request: string or integer values only.
bool ParseRequest(const std::uint8_t* p, std::size_t n, Request& r) {
  std::size_t i = 0;
  auto number = [&](char end, std::uint64_t* v) {
    *v = 0;
    while (i < n && p[i] >= '0' && p[i] <= '9') *v = *v * 10 + (p[i++] - '0');
    if (i >= n || p[i] != end) return false;
    ++i;
    return true;
  };
  auto string = [&](const std::uint8_t** s, std::size_t* len) {
    std::uint64_t l;
    if (!number(':', &l) || l > n - i) return false;
    *s = p + i;
    *len = static_cast<std::size_t>(l);
    i += *len;
    return true;
  };
  if (n < 2 || p[0] != 'd' || p[n - 1] != 'e') return false;
  i = 1;
  while (i < n - 1) {
    const std::uint8_t* key;
    std::size_t keyLength;
    if (!string(&key, &keyLength) || i >= n) return false;
    std::string_view k(reinterpret_cast<const char*>(key), keyLength);
    if (p[i] == 'i') {
      ++i;
      std::uint64_t v;
      if (!number('e', &v)) return false;
      if (k == "lp") r.lp = static_cast<std::uint32_t>(v) & 0xFFFF;
      continue;
    }
    const std::uint8_t* value;
    std::size_t valueLength;
    if (!string(&value, &valueLength)) return false;
    if (k == "m") r.getPeers = valueLength == 9 && std::memcmp(value, "get_peers", 9) == 0;
    else if (k == "peer" && valueLength == 20) r.peer = value;
    else if (k == "share" && (valueLength == 20 || valueLength == 32)) r.share = value, r.shareLength = valueLength;
    else if (k == "pwl" && valueLength % 20 == 0) r.pwl = value, r.pwlLength = valueLength, r.hasPwl = true;
  }
  return i == n - 1 && r.getPeers && r.peer != nullptr && r.share != nullptr;
}

class Server {
 public:
  Server(int epollFd, bool nagle, bool writeEach) : epollFd(epollFd), nagle(nagle), writeEach(writeEach) {}

  void Accept(int listenFd) {
    for (;;) {
      sockaddr_in from{};
      socklen_t length = sizeof from;
      int fd = accept4(listenFd, reinterpret_cast<sockaddr*>(&from), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) return;
      if (!nagle) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      }
      if (static_cast<std::size_t>(fd) >= connections.size()) connections.resize(fd * 2 + 64);
      Connection& c = connections[fd];
      c = Connection{};
      c.fd = fd;
      std::memcpy(c.address, &from.sin_addr, 4);
      std::memcpy(c.address + 4, &from.sin_port, 2);
      // Level-triggered input only: one read per event is enough, and no
      // event comes for every acknowledgement of what was sent.
      epoll_event ev{};
      ev.events = EPOLLIN | EPOLLRDHUP;
      ev.data.fd = fd;
      epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev);
    }
  }

  void OnEvent(int fd, std::uint32_t events) {
    Connection& c = connections[fd];
    if (c.fd < 0) return;
    if ((events & EPOLLOUT) != 0) Flush(c);
    if (c.fd < 0) return;
    if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) Read(c);
  }

  // Sends what the batch queued: one send per touched connection, not per message.
  void FlushDirty() {
    for (int fd : dirty) {
      Connection& c = connections[fd];
      c.dirty = false;
      if (c.fd >= 0) Flush(c);
    }
    dirty.clear();
  }

  void Tick() { now = static_cast<std::uint64_t>(std::time(nullptr)); }

 private:
  // One receive per event (the event is level-triggered, so what is left
  // reports again); messages are handled where they lie, and only a message
  // cut short is kept.
  void Read(Connection& c) {
    std::uint8_t buffer[65536];
    ssize_t n;
    do {
      n = recv(c.fd, buffer, sizeof buffer, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      Close(c);
      return;
    }
    const std::uint8_t* data = buffer;
    std::size_t size = static_cast<std::size_t>(n);
    if (!c.in.empty()) {
      c.in.insert(c.in.end(), buffer, buffer + n);
      data = c.in.data();
      size = c.in.size();
    }
    std::size_t offset = 0;
    while (size - offset >= 4) {
      const std::uint8_t* p = data + offset;
      std::uint32_t body = static_cast<std::uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
      if (body > kMaxBody) {
        Close(c);
        return;
      }
      if (size - offset - 4 < body) break;
      Handle(c, p + 4, body);
      if (c.fd < 0) return;
      offset += 4 + body;
    }
    if (data == buffer) {
      c.in.assign(buffer + offset, buffer + size);
    } else {
      c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(offset));
    }
  }

  void WantWritable(Connection& c, bool want) {
    if (c.waitingToWrite == want) return;
    c.waitingToWrite = want;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP | (want ? EPOLLOUT : 0u);
    ev.data.fd = c.fd;
    epoll_ctl(epollFd, EPOLL_CTL_MOD, c.fd, &ev);
  }

  void Flush(Connection& c) {
    while (c.outSent < c.out.size()) {
      ssize_t n = send(c.fd, c.out.data() + c.outSent, c.out.size() - c.outSent, MSG_NOSIGNAL);
      if (n > 0) {
        c.outSent += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        WantWritable(c, true);
        return;
      }
      if (n < 0 && errno == EINTR) continue;
      Close(c);
      return;
    }
    c.out.clear();
    c.outSent = 0;
    WantWritable(c, false);
  }

  void Queue(Connection& c, const std::string& message) {
    c.out.insert(c.out.end(), message.begin(), message.end());
    if (writeEach && SendNow(c)) return;
    if (!c.dirty) {
      c.dirty = true;
      dirty.push_back(c.fd);
    }
  }

  // One send of everything queued; true when it all left. Anything else is
  // left to the flush after the batch, which also closes on errors, as the
  // connection may be one the caller is still walking.
  bool SendNow(Connection& c) {
    ssize_t n = send(c.fd, c.out.data() + c.outSent, c.out.size() - c.outSent, MSG_NOSIGNAL);
    if (n > 0) c.outSent += static_cast<std::size_t>(n);
    if (c.outSent < c.out.size()) return false;
    c.out.clear();
    c.outSent = 0;
    return true;
  }

  void Close(Connection& c) {
    for (std::uint32_t index : c.peers) Forget(index);
    epoll_ctl(epollFd, EPOLL_CTL_DEL, c.fd, nullptr);
    close(c.fd);
    c = Connection{};
  }

  void Forget(std::uint32_t index) {
    Peer& p = peers[index];
    if (p.share != kNone) {
      auto& members = shares[p.share].members;
      std::uint32_t last = members.back();
      members[p.position] = last;
      peers[last].position = p.position;
      members.pop_back();
    }
    peerIndex.erase(p.id);
    p = Peer{};
    freePeers.push_back(index);
  }

  static void Append(std::string& s, const char* text) { s.append(text); }
  static void AppendBytes(std::string& s, const std::uint8_t* p, std::size_t n) {
    s.append(reinterpret_cast<const char*>(p), n);
  }

  // The same entry layout the tracker writes for a peer with one TCP connection.
  void BuildEntry(Peer& p, const Connection& c) {
    p.entry.clear();
    Append(p.entry, "d1:a6:");
    AppendBytes(p.entry, c.address, 6);
    Append(p.entry, "8:tcp_listl6:");
    AppendBytes(p.entry, c.address, 6);
    Append(p.entry, "e8:utp_listle");
    if (p.lp != 0) {
      Append(p.entry, "2:lpi");
      p.entry += std::to_string(p.lp);
      Append(p.entry, "e");
    }
    Append(p.entry, "1:p20:");
    AppendBytes(p.entry, p.id.bytes.data(), 20);
    Append(p.entry, "e");
  }

  std::uint32_t Register(Connection& c, const Request& r) {
    Key id = Key::Of(r.peer, 20);
    Key shareId = Key::Of(r.share, r.shareLength);
    auto shareIt = shareIndex.find(shareId);
    if (shareIt == shareIndex.end()) {
      shareIt = shareIndex.emplace(shareId, static_cast<std::uint32_t>(shares.size())).first;
      shares.push_back(Share{shareId, {}});
    }
    auto it = peerIndex.find(id);
    std::uint32_t index;
    if (it == peerIndex.end()) {
      if (freePeers.empty()) {
        index = static_cast<std::uint32_t>(peers.size());
        peers.emplace_back();
      } else {
        index = freePeers.back();
        freePeers.pop_back();
      }
      peerIndex.emplace(id, index);
      Peer& p = peers[index];
      p.id = id;
      p.fd = c.fd;
      p.lp = r.lp;
      p.share = shareIt->second;
      p.position = static_cast<std::uint32_t>(shares[p.share].members.size());
      shares[p.share].members.push_back(index);
      c.peers.push_back(index);
      BuildEntry(p, c);
      return index;
    }
    // Workloads announce each peer on one connection in one share; a refresh
    // only has to notice a changed port.
    index = it->second;
    Peer& p = peers[index];
    if (p.lp != r.lp || p.fd != c.fd) {
      p.lp = r.lp;
      BuildEntry(p, c);
    }
    return index;
  }

  std::uint64_t Random() {
    rng ^= rng << 13;
    rng ^= rng >> 7;
    rng ^= rng << 17;
    return rng;
  }

  // As the tracker: every other member of a small share; in a larger one 15
  // distinct draws less the requester. A "pwl" restricts to the ids it names.
  void Select(std::uint32_t self, const Request& r) {
    chosen.clear();
    const Share& share = shares[peers[self].share];
    if (r.hasPwl) {
      for (std::size_t i = 0; i + 20 <= r.pwlLength && chosen.size() < kMaxListed; i += 20) {
        auto it = peerIndex.find(Key::Of(r.pwl + i, 20));
        if (it != peerIndex.end() && it->second != self && peers[it->second].share == peers[self].share)
          chosen.push_back(it->second);
      }
      return;
    }
    const std::size_t n = share.members.size();
    if (n <= kMaxListed) {
      for (std::uint32_t m : share.members)
        if (m != self) chosen.push_back(m);
      return;
    }
    std::size_t drawn[kMaxListed];
    std::size_t held = 0;
    while (held < kMaxListed) {
      std::size_t at = static_cast<std::size_t>(Random() % n);
      bool seen = false;
      for (std::size_t j = 0; j < held; ++j) seen |= drawn[j] == at;
      if (!seen) drawn[held++] = at;
    }
    for (std::size_t j = 0; j < held; ++j)
      if (share.members[drawn[j]] != self) chosen.push_back(share.members[drawn[j]]);
  }

  void Encode(std::string& m, const Share& share, const std::uint32_t* listed, std::size_t count) {
    m.assign("0000d1:m5:peers5:peersl");
    for (std::size_t i = 0; i < count; ++i) m += peers[listed[i]].entry;
    Append(m, "e5:share");
    m += std::to_string(share.id.length);
    m += ':';
    AppendBytes(m, share.id.bytes.data(), share.id.length);
    Append(m, "4:timei");
    m += std::to_string(now);
    Append(m, "ee");
    const auto body = static_cast<std::uint32_t>(m.size() - 4);
    m[0] = static_cast<char>(body >> 24);
    m[1] = static_cast<char>(body >> 16);
    m[2] = static_cast<char>(body >> 8);
    m[3] = static_cast<char>(body);
  }

  void Handle(Connection& c, const std::uint8_t* body, std::size_t length) {
    Request r;
    if (!ParseRequest(body, length, r)) return;
    std::uint32_t self = Register(c, r);
    Select(self, r);
    const Share& share = shares[peers[self].share];
    if (!chosen.empty()) {
      Encode(message, share, &self, 1);
      for (std::uint32_t index : chosen) {
        Connection& target = connections[peers[index].fd];
        if (target.fd >= 0) Queue(target, message);
      }
    }
    Encode(message, share, chosen.data(), chosen.size());
    Queue(c, message);
  }

  int epollFd;
  bool nagle;
  bool writeEach;
  std::uint64_t now = 0;
  std::uint64_t rng = 0x2545F4914F6CDD1DULL;
  std::vector<Connection> connections;
  std::vector<Peer> peers;
  std::vector<std::uint32_t> freePeers;
  std::vector<Share> shares;
  std::unordered_map<Key, std::uint32_t, KeyHash> peerIndex;
  std::unordered_map<Key, std::uint32_t, KeyHash> shareIndex;
  std::vector<int> dirty;
  std::vector<std::uint32_t> chosen;
  std::string message;
};

void OnSignal(int) { stopRequested = 1; }

}  // namespace

int main(int argc, char** argv) {
  int port = 3000;
  const char* bindAddress = "127.0.0.1";
  bool nagle = false;
  bool writeEach = false;
  double maxSeconds = 900;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-p" && i + 1 < argc) port = std::atoi(argv[++i]);
    else if (a == "--bind" && i + 1 < argc) bindAddress = argv[++i];
    else if (a == "--nagle") nagle = true;
    else if (a == "--write-each") writeEach = true;
    else if (a == "--max-seconds" && i + 1 < argc) maxSeconds = std::atof(argv[++i]);
    else {
      std::fprintf(stderr, "usage: baseline_server [-p PORT] [--bind ADDR] [--nagle] [--write-each] [--max-seconds N]\n");
      return 2;
    }
  }
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  signal(SIGPIPE, SIG_IGN);

  int listenFd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (inet_pton(AF_INET, bindAddress, &address.sin_addr) != 1 ||
      bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listenFd, 4096) != 0) {
    std::fprintf(stderr, "baseline_server: cannot listen on %s:%d: %s\n", bindAddress, port, std::strerror(errno));
    return 2;
  }
  int epollFd = epoll_create1(EPOLL_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = listenFd;
  epoll_ctl(epollFd, EPOLL_CTL_ADD, listenFd, &ev);
  std::printf("baseline_server listening on %s:%d%s%s\n", bindAddress, port, nagle ? " (Nagle on)" : "",
              writeEach ? " (a write per message)" : "");
  std::fflush(stdout);

  Server server(epollFd, nagle, writeEach);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(maxSeconds);
  epoll_event events[256];
  while (stopRequested == 0 && std::chrono::steady_clock::now() < deadline) {
    int n = epoll_wait(epollFd, events, 256, 100);
    server.Tick();
    for (int i = 0; i < n; ++i) {
      if (events[i].data.fd == listenFd) server.Accept(listenFd);
      else server.OnEvent(events[i].data.fd, events[i].events);
    }
    server.FlushDirty();
  }
  close(epollFd);
  close(listenFd);
  return 0;
}
