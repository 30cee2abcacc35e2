#include "generator.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "report.h"
#include "utp.h"

namespace loadgen {
namespace {

constexpr std::uint64_t kUdpTag = 1ull << 40;
constexpr std::int64_t kSecond = 1000000000;
constexpr std::size_t kBatch = 64;
constexpr std::size_t kDatagramRoom = 2048;

// libutp's callbacks carry no pointer of ours but the user data, so they
// reach the one generator of the process through this.
Generator* active = nullptr;

Connection* Bound(utp_socket* s) { return static_cast<Connection*>(utp_get_userdata(s)); }

uint64 UtpOnRead(utp_callback_arguments* a) {
  if (Connection* c = Bound(a->socket)) active->OnUtpRead(*c, a->buf, a->len);
  utp_read_drained(a->socket);
  return 0;
}

uint64 UtpOnState(utp_callback_arguments* a) {
  Connection* c = Bound(a->socket);
  if (c == nullptr) return 0;
  switch (a->state) {
    case UTP_STATE_CONNECT:
      active->OnUtpConnected(*c);
      break;
    case UTP_STATE_WRITABLE:
      active->OnUtpWritable(*c);
      break;
    case UTP_STATE_EOF:
      active->OnUtpClosed(*c, false);
      break;
    case UTP_STATE_DESTROYING:
      active->OnUtpDestroyed(*c);
      break;
    default:
      break;
  }
  return 0;
}

uint64 UtpOnError(utp_callback_arguments* a) {
  if (Connection* c = Bound(a->socket)) active->OnUtpClosed(*c, c->state == Connection::State::Connecting);
  return 0;
}

uint64 UtpSendTo(utp_callback_arguments* a) {
  auto* udp = static_cast<UdpEndpoint*>(utp_context_get_userdata(a->context));
  active->SendDatagram(*udp, a->buf, a->len, a->address, a->address_len);
  return 0;
}

void SetBuffer(int fd, int option, int forced, int size) {
  // As root the system maximum can be passed; otherwise take what is allowed.
  if (setsockopt(fd, SOL_SOCKET, forced, &size, sizeof size) != 0) setsockopt(fd, SOL_SOCKET, option, &size, sizeof size);
}

}  // namespace

std::int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * kSecond + ts.tv_nsec;
}

Generator::Generator(const Options& o) : options(o) {
  layout.connections = o.tcp + o.utp;
  layout.peersPerConnection = o.peersPerConn;
  layout.shareSize = o.shareSize;
  active = this;
}

Generator::~Generator() {
  FlushDatagrams();
  for (UdpEndpoint& u : udps) {
    if (u.context != nullptr) utp_destroy(u.context);
    if (u.fd >= 0) close(u.fd);
  }
  for (Connection& c : connections)
    if (c.fd >= 0) close(c.fd);
  if (epollFd >= 0) close(epollFd);
  active = nullptr;
}

bool Generator::SetUp() {
  nonce = options.seed;
  while (nonce == 0 && getrandom(&nonce, sizeof nonce, 0) != sizeof nonce) {
  }

  std::memset(&server, 0, sizeof server);
  auto* v4 = reinterpret_cast<sockaddr_in*>(&server);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&server);
  if (inet_pton(AF_INET, options.host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(options.port);
    serverLength = sizeof *v4;
  } else if (inet_pton(AF_INET6, options.host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(options.port);
    serverLength = sizeof *v6;
  } else {
    std::fprintf(stderr, "loadgen: cannot parse address %s\n", options.host.c_str());
    return false;
  }
  for (std::uint16_t port : options.ports) {
    sockaddr_storage target = server;
    if (server.ss_family == AF_INET) reinterpret_cast<sockaddr_in*>(&target)->sin_port = htons(port);
    else reinterpret_cast<sockaddr_in6*>(&target)->sin6_port = htons(port);
    targets.push_back(target);
  }

  // Thousands of connections need thousands of descriptors.
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < options.tcp + options.udpSockets + 64)
    std::fprintf(stderr, "loadgen: warning: only %llu descriptors for %u TCP connections\n",
                 static_cast<unsigned long long>(limit.rlim_cur), options.tcp);

  epollFd = epoll_create1(EPOLL_CLOEXEC);
  if (epollFd < 0) return false;

  connections.resize(layout.connections);
  for (std::uint32_t i = 0; i < layout.connections; ++i) {
    connections[i].index = i;
    connections[i].utp = i >= options.tcp;
    if (connections[i].utp) connections[i].udp = (i - options.tcp) % options.udpSockets;
  }

  // The vector is final before any context points into it.
  udps.resize(options.utp > 0 ? options.udpSockets : 0);
  for (std::uint32_t i = 0; i < udps.size(); ++i) {
    UdpEndpoint& u = udps[i];
    int family = server.ss_family;
    u.fd = socket(family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (u.fd < 0) return false;
    sockaddr_storage local{};
    std::memcpy(&local, &server, serverLength);
    if (family == AF_INET) reinterpret_cast<sockaddr_in*>(&local)->sin_port = 0;
    else reinterpret_cast<sockaddr_in6*>(&local)->sin6_port = 0;
    if (bind(u.fd, reinterpret_cast<sockaddr*>(&local), serverLength) != 0) return false;
    SetBuffer(u.fd, SO_RCVBUF, SO_RCVBUFFORCE, 8 << 20);
    SetBuffer(u.fd, SO_SNDBUF, SO_SNDBUFFORCE, 8 << 20);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kUdpTag | i;
    if (epoll_ctl(epollFd, EPOLL_CTL_ADD, u.fd, &ev) != 0) return false;
    u.context = utp_init(2);
    if (u.context == nullptr) return false;
    utp_set_callback(u.context, UTP_ON_READ, UtpOnRead);
    utp_set_callback(u.context, UTP_ON_STATE_CHANGE, UtpOnState);
    utp_set_callback(u.context, UTP_ON_ERROR, UtpOnError);
    utp_set_callback(u.context, UTP_SENDTO, UtpSendTo);
    utp_context_set_userdata(u.context, &u);
  }
  scratch.resize(256 * 1024);
  latencies.reserve(1 << 20);
  return true;
}

int Generator::Run() {
  if (!SetUp()) {
    std::fprintf(stderr, "loadgen: set-up failed: %s\n", std::strerror(errno));
    return 2;
  }
  trackerBefore = SampleProcess(options.trackerPid);
  startedAt = NowNs();
  deadline = startedAt + static_cast<std::int64_t>(options.timeout * kSecond);
  while (phase != Phase::Done) {
    const std::int64_t now = NowNs();
    if (now > deadline) {
      timedOut = true;
      std::fprintf(stderr, "loadgen: hard time-out in phase %d\n", static_cast<int>(phase));
      if (phase == Phase::Warmup || phase == Phase::Measure) EndMeasure();
      Finish();
      break;
    }
    int waitMs = 5;
    switch (phase) {
      case Phase::Warmup:
        OpenConnections();
        if (nextToOpen == layout.connections && connecting == 0 && settledCount == layout.connections) StartMeasure();
        break;
      case Phase::Measure:
        if (now >= measureEnd) {
          EndMeasure();
        } else if (options.rate > 0) {
          IssueRateRequests();
          waitMs = 1;
        }
        break;
      case Phase::Drain:
        if ((inFlightOpen == 0 && total.introductions >= total.listed) || now >= drainDeadline) {
          Finish();
          if (options.hold > 0) {
            // The caller reads its counters now, before the closes make work of their own.
            std::fprintf(stderr, "loadgen: mark drained\n");
            std::fflush(stderr);
            phase = Phase::Hold;
            holdDeadline = now + static_cast<std::int64_t>(options.hold * kSecond);
            break;
          }
          CloseAll();
          phase = Phase::Closing;
          closingDeadline = now + kSecond / 2;
        }
        break;
      case Phase::Hold:
        if (now >= holdDeadline) {
          CloseAll();
          phase = Phase::Closing;
          closingDeadline = now + kSecond / 2;
        }
        break;
      case Phase::Closing:
        if (now >= closingDeadline) phase = Phase::Done;
        break;
      case Phase::Done:
        break;
    }
    if (phase == Phase::Warmup || phase == Phase::Measure) SendKeepalives();
    if (phase != Phase::Done) Pump(waitMs);
  }
  int code = 0;
  if (timedOut) code = 3;
  else if (errors.Total() > options.maxErrors) code = 1;
  Report(code);
  return code;
}

void Generator::OpenConnections() {
  while (nextToOpen < layout.connections && connecting < options.connectWindow) {
    Connection& c = connections[nextToOpen++];
    if (c.utp) OpenUtp(c);
    else OpenTcp(c);
  }
}

void Generator::OpenTcp(Connection& c) {
  c.fd = socket(server.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (c.fd < 0) {
    ++errors.connectFailures;
    c.state = Connection::State::Closed;
    Settle(c);
    return;
  }
  int one = 1;
  // Requests are small and must not wait for the previous one's ACK.
  setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
  ev.data.u64 = c.index;
  epoll_ctl(epollFd, EPOLL_CTL_ADD, c.fd, &ev);
  c.state = Connection::State::Connecting;
  ++connecting;
  sockaddr_storage& target = targets[c.index % targets.size()];
  if (connect(c.fd, reinterpret_cast<sockaddr*>(&target), serverLength) == 0) {
    OnOpened(c);
  } else if (errno != EINPROGRESS) {
    ++errors.connectFailures;
    CloseConnection(c, false);
  }
}

void Generator::OpenUtp(Connection& c) {
  c.utpSocket = utp_create_socket(udps[c.udp].context);
  if (c.utpSocket == nullptr) {
    ++errors.connectFailures;
    c.state = Connection::State::Closed;
    Settle(c);
    return;
  }
  utp_set_userdata(c.utpSocket, &c);
  c.state = Connection::State::Connecting;
  ++connecting;
  utp_connect(c.utpSocket, reinterpret_cast<sockaddr*>(&targets[c.index % targets.size()]), serverLength);
}

void Generator::OnOpened(Connection& c) {
  --connecting;
  c.state = Connection::State::Open;
  c.lastSend = NowNs();
  ContinueWarmup(c);
}

void Generator::Settle(Connection& c) {
  if (c.settled) return;
  c.settled = true;
  ++settledCount;
}

void Generator::ContinueWarmup(Connection& c) {
  while (c.state == Connection::State::Open && c.announcesSent < layout.peersPerConnection &&
         c.announcesSent - c.announcesAnswered < options.warmupWindow) {
    SendRequest(c, Purpose::Announce);
  }
  if (c.announcesAnswered == layout.peersPerConnection) Settle(c);
}

void Generator::Pump(int timeoutMs) {
  // What was produced since the last pump leaves before the wait.
  FlushDatagrams();
  epoll_event events[1024];
  int n = epoll_wait(epollFd, events, 1024, timeoutMs);
  for (int i = 0; i < n; ++i) {
    std::uint64_t tag = events[i].data.u64;
    if ((tag & kUdpTag) != 0) OnUdpReadable(udps[tag & 0xFFFFFFFFu]);
    else OnTcpEvent(connections[tag], events[i].events);
  }
  for (UdpEndpoint& u : udps) {
    utp_issue_deferred_acks(u.context);
    utp_check_timeouts(u.context);
  }
  FlushDatagrams();
}

void Generator::OnTcpEvent(Connection& c, std::uint32_t events) {
  if (c.state == Connection::State::Connecting) {
    if ((events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) == 0) return;
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0) {
      ++errors.connectFailures;
      CloseConnection(c, false);
      return;
    }
    OnOpened(c);
  }
  if (c.state != Connection::State::Open) return;
  if ((events & EPOLLOUT) != 0 && !c.pending.empty()) FlushPending(c);
  if ((events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) {
    ReadTcp(c, (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0);
  }
}

void Generator::ReadTcp(Connection& c, bool ended) {
  // Edge-triggered: read until the socket is empty. A short read emptied it
  // and the next input brings a new event, so no call is made just to hear
  // "would block"; once the peer has closed, the end is read now, as no
  // event will announce it.
  while (c.state == Connection::State::Open) {
    ssize_t n = recv(c.fd, scratch.data(), scratch.size(), MSG_DONTWAIT);
    if (n > 0) {
      Receive(c, scratch.data(), static_cast<std::size_t>(n));
      if (static_cast<std::size_t>(n) < scratch.size() && !ended) return;
    } else if (n == 0) {
      CloseConnection(c, true);
    } else if (errno == EINTR) {
      continue;
    } else {
      if (errno != EAGAIN && errno != EWOULDBLOCK) CloseConnection(c, true);
      return;
    }
  }
}

void Generator::OnUdpReadable(UdpEndpoint& udp) {
  static std::uint8_t buffers[kBatch][kDatagramRoom];
  static sockaddr_storage sources[kBatch];
  static iovec vectors[kBatch];
  static mmsghdr messages[kBatch];
  for (int round = 0; round < 16; ++round) {
    for (std::size_t i = 0; i < kBatch; ++i) {
      vectors[i] = {buffers[i], kDatagramRoom};
      messages[i].msg_hdr = {};
      messages[i].msg_hdr.msg_name = &sources[i];
      messages[i].msg_hdr.msg_namelen = sizeof sources[i];
      messages[i].msg_hdr.msg_iov = &vectors[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    int n = recvmmsg(udp.fd, messages, kBatch, MSG_DONTWAIT, nullptr);
    if (n <= 0) break;
    for (int i = 0; i < n; ++i) {
      utp_process_udp(udp.context, buffers[i], messages[i].msg_len, reinterpret_cast<sockaddr*>(&sources[i]),
                      messages[i].msg_hdr.msg_namelen);
    }
    if (static_cast<std::size_t>(n) < kBatch) break;
  }
  utp_issue_deferred_acks(udp.context);
}

void Generator::Receive(Connection& c, const std::uint8_t* data, std::size_t length) {
  if (c.partial.empty()) {
    std::size_t used = Frame(c, data, length);
    if (c.state == Connection::State::Open && used < length) c.partial.assign(data + used, data + length);
    return;
  }
  c.partial.insert(c.partial.end(), data, data + length);
  std::size_t used = Frame(c, c.partial.data(), c.partial.size());
  c.partial.erase(c.partial.begin(), c.partial.begin() + static_cast<std::ptrdiff_t>(used));
}

std::size_t Generator::Frame(Connection& c, const std::uint8_t* data, std::size_t length) {
  std::size_t offset = 0;
  while (length - offset >= 4) {
    std::uint32_t body = ReadBigEndian32(data + offset);
    if (body > kMaxMessageBody) {
      // Framing is lost; nothing after this can be trusted.
      ++errors.malformed;
      CloseConnection(c, false);
      return length;
    }
    if (length - offset - 4 < body) break;
    HandleMessage(c, data + offset + 4, body);
    offset += 4 + static_cast<std::size_t>(body);
    if (c.state != Connection::State::Open) return length;
  }
  return offset;
}

void Generator::HandleMessage(Connection& c, const std::uint8_t* body, std::size_t length) {
  PeersMessage message;
  if (!ParsePeersMessage(body, length, message)) {
    ++errors.malformed;
    return;
  }
  Outstanding* head = c.outstanding.Empty() ? nullptr : &c.outstanding.Front();
  Classification verdict = Classify(layout, nonce, c.index, head, message);
  const bool inWindow = phase == Phase::Measure;
  switch (verdict.verdict) {
    case Verdict::Reply: {
      const Outstanding done = *head;
      c.outstanding.Pop();
      --inFlightOpen;
      ++total.replies;
      total.replyBytes += length + 4;
      total.listed += verdict.listed;
      if (inWindow) {
        ++window.replies;
        window.replyBytes += length + 4;
        window.listed += verdict.listed;
      }
      if (done.measured) {
        std::int64_t ns = NowNs() - done.sentAt;
        latencies.push_back(static_cast<std::uint32_t>(std::min<std::int64_t>(ns, 0xFFFFFFFFll)));
      }
      if (done.purpose == Purpose::Announce) {
        ++c.announcesAnswered;
        ContinueWarmup(c);
      } else if (done.purpose == Purpose::Request && inWindow && options.rate == 0 && !options.idle) {
        SendRequest(c, Purpose::Request);
      }
      break;
    }
    case Verdict::Introduction:
      ++total.introductions;
      total.introductionBytes += length + 4;
      if (inWindow) {
        ++window.introductions;
        window.introductionBytes += length + 4;
      }
      break;
    case Verdict::Malformed:
      ++errors.malformed;
      break;
    case Verdict::Unexpected:
      ++errors.unexpected;
      break;
  }
}

void Generator::SendRequest(Connection& c, Purpose purpose) {
  std::uint32_t peer;
  if (purpose == Purpose::Announce) {
    peer = layout.PeerOf(c.index, c.announcesSent++);
    ++total.announces;
  } else {
    peer = layout.PeerOf(c.index, c.nextPeer);
    c.nextPeer = (c.nextPeer + 1) % layout.peersPerConnection;
  }
  RequestFields fields;
  fields.nonce = nonce;
  fields.peer = peer;
  fields.share = layout.ShareOf(peer);
  fields.shareLength = options.shareBytes;
  fields.selectNobody = purpose != Purpose::Request;
  std::uint8_t bytes[kMaxRequestSize];
  std::size_t length = EncodeGetPeers(fields, bytes);

  const std::int64_t now = NowNs();
  Outstanding o;
  o.peer = peer;
  o.share = fields.share;
  o.expect = purpose == Purpose::Request ? Expect::FullShare : Expect::Nobody;
  o.purpose = purpose;
  o.measured = purpose == Purpose::Request && phase == Phase::Measure;
  o.sentAt = now;
  c.outstanding.Push(o);
  ++inFlightOpen;
  c.lastSend = now;
  if (purpose == Purpose::Request) {
    ++total.requests;
    if (phase == Phase::Measure) ++window.requests;
  } else if (purpose == Purpose::Keepalive) {
    ++total.keepalives;
  }
  Write(c, bytes, length);
}

void Generator::Write(Connection& c, const std::uint8_t* data, std::size_t length) {
  if (!c.pending.empty()) {
    c.pending.insert(c.pending.end(), data, data + length);
    if (c.utp) FlushPending(c);
    return;
  }
  ssize_t taken;
  if (c.utp) {
    taken = utp_write(c.utpSocket, const_cast<std::uint8_t*>(data), length);
  } else {
    taken = send(c.fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (taken < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      CloseConnection(c, true);
      return;
    }
  }
  if (taken < 0) taken = 0;
  if (static_cast<std::size_t>(taken) < length) c.pending.assign(data + taken, data + length);
}

void Generator::FlushPending(Connection& c) {
  std::size_t sent = 0;
  while (sent < c.pending.size() && c.state == Connection::State::Open) {
    ssize_t n;
    if (c.utp) {
      n = utp_write(c.utpSocket, c.pending.data() + sent, c.pending.size() - sent);
    } else {
      n = send(c.fd, c.pending.data() + sent, c.pending.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        CloseConnection(c, true);
        return;
      }
    }
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  c.pending.erase(c.pending.begin(), c.pending.begin() + static_cast<std::ptrdiff_t>(sent));
}

void Generator::CloseConnection(Connection& c, bool byPeer) {
  if (c.state == Connection::State::Closed) return;
  if (byPeer && (phase == Phase::Warmup || phase == Phase::Measure || phase == Phase::Drain || phase == Phase::Hold)) {
    ++errors.unexpectedCloses;
  }
  if (c.state == Connection::State::Connecting) --connecting;
  inFlightOpen -= c.outstanding.Size();
  c.state = Connection::State::Closed;
  Settle(c);
  if (!c.utp && c.fd >= 0) {
    epoll_ctl(epollFd, EPOLL_CTL_DEL, c.fd, nullptr);
    close(c.fd);
    c.fd = -1;
  }
  if (c.utp && c.utpSocket != nullptr) {
    // Unbound first: the library's later notices for it must reach nothing.
    utp_set_userdata(c.utpSocket, nullptr);
    utp_close(c.utpSocket);
    c.utpSocket = nullptr;
  }
}

void Generator::OnUtpRead(Connection& c, const std::uint8_t* data, std::size_t length) {
  if (c.state == Connection::State::Open) Receive(c, data, length);
}

void Generator::OnUtpConnected(Connection& c) {
  if (c.state == Connection::State::Connecting) OnOpened(c);
  else if (c.state == Connection::State::Open) FlushPending(c);
}

void Generator::OnUtpWritable(Connection& c) {
  if (c.state == Connection::State::Open) FlushPending(c);
}

void Generator::OnUtpClosed(Connection& c, bool connectFailed) {
  if (connectFailed) ++errors.connectFailures;
  CloseConnection(c, !connectFailed);
}

void Generator::OnUtpDestroyed(Connection& c) {
  // Still bound while the library frees it: forget it before closing.
  c.utpSocket = nullptr;
  if (c.state == Connection::State::Connecting) {
    ++errors.connectFailures;
    CloseConnection(c, false);
  } else {
    CloseConnection(c, true);
  }
}

void Generator::SendDatagram(UdpEndpoint& udp, const void* data, std::size_t length, const sockaddr* to,
                             socklen_t toLength) {
  Outbox& out = udp.outbox;
  Outbox::Entry entry{out.bytes.size(), length, {}, toLength};
  std::memcpy(&entry.to, to, std::min<std::size_t>(toLength, sizeof entry.to));
  const auto* p = static_cast<const std::uint8_t*>(data);
  out.bytes.insert(out.bytes.end(), p, p + length);
  out.entries.push_back(entry);
}

// uTP resends what is lost, so a datagram the socket does not take only
// costs a retry: it is counted and skipped.
void Generator::FlushDatagrams() {
  for (UdpEndpoint& udp : udps) {
    Outbox& out = udp.outbox;
    std::size_t next = 0;
    while (next < out.entries.size()) {
      mmsghdr messages[kBatch];
      iovec vectors[kBatch];
      const std::size_t count = std::min(kBatch, out.entries.size() - next);
      for (std::size_t i = 0; i < count; ++i) {
        Outbox::Entry& e = out.entries[next + i];
        vectors[i] = {out.bytes.data() + e.offset, e.length};
        messages[i] = mmsghdr{};
        messages[i].msg_hdr.msg_name = &e.to;
        messages[i].msg_hdr.msg_namelen = e.toLength;
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
      }
      const int n = sendmmsg(udp.fd, messages, static_cast<unsigned>(count), MSG_DONTWAIT);
      if (n <= 0) {
        ++datagramDrops;
        ++next;
      } else {
        next += static_cast<std::size_t>(n);
      }
    }
    out.bytes.clear();
    out.entries.clear();
  }
}

void Generator::IssueRateRequests() {
  const double elapsed = static_cast<double>(NowNs() - measureStart) / kSecond;
  const auto target = static_cast<std::uint64_t>(options.rate * elapsed);
  const std::uint32_t n = layout.connections;
  const std::uint32_t step = SpreadStep(n);
  while (rateIssued < target) {
    bool sent = false;
    for (std::uint32_t tries = 0; tries < n && !sent; ++tries) {
      Connection& c = connections[rateCursor];
      rateCursor = static_cast<std::uint32_t>((static_cast<std::uint64_t>(rateCursor) + step) % n);
      if (c.state == Connection::State::Open && c.outstanding.Size() < options.rateCap) {
        SendRequest(c, Purpose::Request);
        sent = true;
      }
    }
    if (!sent) {
      // Every connection is at its cap: the server is behind; skip, do not queue.
      rateShortfall += target - rateIssued;
      rateIssued = target;
      break;
    }
    ++rateIssued;
  }
}

void Generator::SendKeepalives() {
  const std::int64_t now = NowNs();
  if (now - lastKeepaliveScan < kSecond) return;
  lastKeepaliveScan = now;
  const auto quiet = static_cast<std::int64_t>(options.keepalive * kSecond);
  for (Connection& c : connections)
    if (c.state == Connection::State::Open && now - c.lastSend > quiet) SendRequest(c, Purpose::Keepalive);
}

void Generator::StartMeasure() {
  const std::int64_t now = NowNs();
  warmupSeconds = static_cast<double>(now - startedAt) / kSecond;
  trackerWarm = SampleProcess(options.trackerPid);
  ownCpuStart = OwnCpuSeconds();
  if (!options.quiet)
    std::fprintf(stderr, "loadgen: %u connections open, %llu peers announced in %.2f s\n", layout.connections,
                 static_cast<unsigned long long>(total.announces), warmupSeconds);
  if (options.hold > 0) {
    std::fprintf(stderr, "loadgen: mark measure\n");
    std::fflush(stderr);
  }
  phase = Phase::Measure;
  measureStart = now;
  measureEnd = now + static_cast<std::int64_t>(options.duration * kSecond);
  if (options.rate == 0 && !options.idle) {
    for (Connection& c : connections)
      for (std::uint32_t k = 0; k < options.outstanding && c.state == Connection::State::Open; ++k)
        SendRequest(c, Purpose::Request);
  }
}

void Generator::EndMeasure() {
  const std::int64_t now = NowNs();
  if (measureStart == 0) measureStart = now;
  measureEnd = now;
  trackerEnd = SampleProcess(options.trackerPid);
  ownCpuEnd = OwnCpuSeconds();
  phase = Phase::Drain;
  drainDeadline = now + static_cast<std::int64_t>(options.drain * kSecond);
}

void Generator::Finish() {
  drainEnd = NowNs();
  errors.missingReplies = 0;
  for (Connection& c : connections) errors.missingReplies += c.outstanding.Size();
  errors.lostIntroductions = total.listed > total.introductions ? total.listed - total.introductions : 0;
}

void Generator::CloseAll() {
  for (Connection& c : connections) {
    CloseConnection(c, false);
  }
}

void Generator::Report(int exitCode) {
  RunSummary s;
  s.label = options.label;
  s.options = &options;
  s.measuredSeconds = static_cast<double>(measureEnd - measureStart) / kSecond;
  s.warmupSeconds = warmupSeconds;
  s.drainSeconds = static_cast<double>(drainEnd - measureEnd) / kSecond;
  s.total = total;
  s.window = window;
  s.errors = errors;
  s.datagramDrops = datagramDrops;
  s.rateShortfall = rateShortfall;
  s.trackerBefore = trackerBefore;
  s.trackerWarm = trackerWarm;
  s.trackerEnd = trackerEnd;
  s.ownCpuSeconds = ownCpuEnd - ownCpuStart;
  s.connections = layout.connections;
  s.peers = layout.TotalPeers();
  s.shares = layout.ShareCount();
  s.timedOut = timedOut;
  s.exitCode = exitCode;
  PrintAndSave(s, latencies);
}

}  // namespace loadgen
