#include "hostile.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <string>

#include "generator.h"
#include "utp.h"
#include "wire.h"

namespace loadgen {
namespace {

constexpr std::int64_t kSecond = 1000000000;
constexpr std::int64_t kMilli = 1000000;
constexpr std::uint64_t kFloodTag = 1ull << 40;
constexpr std::uint64_t kVictimUdpTag = 1ull << 41;
constexpr std::uint32_t kMaxBody = 32u << 20;  // larger: framing is lost, the connection is dropped

// Peer and share indices of each role, apart from each other.
constexpr std::uint32_t kVictimPeer = 0x7F000000u;  // + 0 (TCP), + 1 (uTP)
constexpr std::uint32_t kVictimShare = 0x7F000000u;
constexpr std::uint32_t kStuffPeer = 0x10000000u;
constexpr std::uint32_t kStuffShare = 0x10000000u;  // + id / 16
constexpr std::uint32_t kChurnPeer = 0x20000000u;
constexpr std::uint32_t kChurnShare = 0x20000000u;  // + cycle: a new share each time
constexpr std::uint32_t kBusyPeer = 0x30000000u;
constexpr std::uint32_t kBusyShare = 0x30000000u;
constexpr std::uint32_t kMemberPeer = 0x40000000u;
constexpr std::uint32_t kPipeShare = 0x40000000u;   // + position in the burst
constexpr std::uint32_t kPipePeer = 0x48000000u;
constexpr std::uint32_t kBurst = 100;
constexpr std::uint32_t kPipeShares = kBurst;       // each request of a burst has its own share...
constexpr std::uint32_t kPipeMembers = 16;          // ...of 16 members, so each reply lists 15
constexpr std::uint32_t kMemberConnections = 4;     // 400 ids each

// ST_SYN, version 1.
constexpr std::uint8_t kSynTypeVersion = 0x41;

volatile sig_atomic_t stopRequested = 0;
void OnStopSignal(int) { stopRequested = 1; }

enum class Role : std::uint8_t { Victim, Stuffer, Churner, NonReader, Busy, Member, Pipeliner };

struct Client {
  Role role = Role::Victim;
  std::uint32_t index = 0;  // within its role
  int fd = -1;
  bool connecting = false;
  bool open = false;
  std::uint64_t generation = 0;  // rises at every close: a reopened slot is another connection
  std::vector<std::uint8_t> in;
  std::vector<std::uint8_t> out;
  std::size_t outSent = 0;
  std::deque<std::int64_t> sentAt;  // requests awaiting their reply
  std::uint64_t cycle = 0;          // churn: the cycle this connection carries
  std::uint32_t announced = 0;      // member: announces sent / answered
  std::uint32_t answered = 0;
  // Pipeliner: the shares of the burst in flight, those of the replies so far.
  std::vector<std::uint32_t> expected, got;
  std::int64_t burstStart = 0, lastReceipt = 0;
  bool burstOpen = false;
  std::int64_t lastSend = 0;  // paced non-reader: when it last sent a request
  std::int64_t retryAt = 0;   // paced non-reader: when a closed slot is reopened
};

// One side (TCP or uTP) of the victim.
struct VictimSide {
  std::uint64_t sent = 0, replies = 0, late = 0, lost = 0, odd = 0, closes = 0, connectFailures = 0;
  std::deque<std::int64_t> sentAt;
  std::vector<std::uint32_t> micros;
};

struct VictimUtp {
  int fd = -1;
  utp_context* context = nullptr;
  utp_socket* socket = nullptr;
  bool connecting = false, open = false;
  std::vector<std::uint8_t> in, pending;
  std::int64_t retryAt = 0;
};

class Hostile;
Hostile* current = nullptr;

std::uint64_t XorShift(std::uint64_t& s) {
  s ^= s << 13;
  s ^= s >> 7;
  s ^= s << 17;
  return s;
}

double Percentile(std::vector<std::uint32_t>& sorted, double q) {
  if (sorted.empty()) return -1;
  auto at = static_cast<std::size_t>(q * static_cast<double>(sorted.size()));
  return sorted[std::min(at, sorted.size() - 1)] / 1000.0;  // milliseconds
}

class Hostile {
 public:
  explicit Hostile(const Options& o) : options(o) {}
  ~Hostile();
  int Run();

  // libutp's entry points for the victim's uTP side.
  void UtpRead(const std::uint8_t* data, std::size_t length);
  void UtpState(int state);
  void UtpError();
  void UtpSend(const void* data, std::size_t length, const sockaddr* to, socklen_t toLength);

 private:
  bool SetUp();
  sockaddr_in Address(std::uint32_t hostOrder, std::uint16_t port) const;
  Client& NewClient(Role role, std::uint32_t index);
  bool Connect(Client& c, std::uint32_t source, int receiveBuffer);
  void OnEvent(Client& c, std::uint32_t events);
  void OnOpen(Client& c);
  void ReadAll(Client& c);
  void Frame(Client& c);
  void OnMessage(Client& c, const std::uint8_t* body, std::size_t length);
  void Send(Client& c, const std::uint8_t* data, std::size_t length);
  void Flush(Client& c);
  void Close(Client& c, bool byTracker);
  void Request(Client& c, std::uint32_t peer, std::uint32_t share, bool nobody);

  // The victim.
  void StartVictim();
  void VictimTick(std::int64_t now);
  void VictimMessage(VictimSide& side, const std::uint8_t* body, std::size_t length);
  void VictimLost(VictimSide& side);
  void OpenVictimUtp();
  void ReadVictimUdp();
  void FrameVictimUtp();
  void WriteVictimUtp(const std::uint8_t* data, std::size_t length);
  bool VictimReady() const;

  // The modes.
  void StartMode();
  void ModeTick(std::int64_t now);
  bool ModeDone(std::int64_t now) const;
  void FloodSend(std::int64_t now);
  void FloodRead(std::uint32_t i);
  void StuffFill(Client& c);
  void ChurnStart(Client& c);
  void Reopen(Client& c);
  void PipelineBurst(Client& c, std::int64_t now);
  void PipelineEndBurst(Client& c);

  void Pump(int waitMs);
  void Report();
  void IntervalReport(std::int64_t now);
  bool Paced() const { return options.rate > 0; }

  Options options;
  bool attacking = false;  // a mode other than "victim"
  bool victimOn = false;
  std::uint32_t nonce = 0;
  std::uint64_t rng = 0;
  sockaddr_in server{};
  int epollFd = -1;
  std::vector<std::unique_ptr<Client>> clients;
  std::vector<std::uint8_t> scratch;
  std::vector<std::uint8_t> encoded;
  std::int64_t started = 0, modeStart = 0, modeEnd = 0, measuredEnd = 0, hardDeadline = 0;
  bool timedOut = false;
  bool sending = true;  // false in the grace second after the mode

  // Victim.
  Client* victimTcp = nullptr;
  std::int64_t victimTcpRetryAt = 0;
  VictimUtp victimUtp;
  VictimSide tcpSide, utpSide;
  std::int64_t nextVictimSend = 0;
  // How late the victim's own sends were against its 10 ms schedule: a
  // victim starved of CPU would blame the tracker for its own delay.
  std::int64_t victimLagMax = 0;
  std::uint64_t victimLagOver10ms = 0;

  // SYN flood.
  std::vector<int> floodFds;
  std::uint64_t synSent = 0, synDropped = 0, floodReplies = 0, floodStates = 0, floodResets = 0;
  std::uint32_t floodCursor = 0;
  // Stuffing.
  std::uint64_t stuffIds = 0, stuffBytes = 0, reopened = 0;
  // Churn.
  std::uint64_t churnStarted = 0, churnCycles = 0, churnFailures = 0;
  // Non-reader.
  std::uint32_t nonReadersSent = 0, nonReadersOpen = 0;
  bool busyStarted = false;
  std::uint64_t busyRequests = 0, busyReplies = 0, busyIntroductions = 0;
  // Paced non-reader (--rate): requests the requesters made on the schedule,
  // schedule slots skipped because all of them had 4 in flight, reopened non-readers.
  std::int64_t busyStartAt = 0;
  std::uint64_t busyPaced = 0, busySkipped = 0, nonReaderReopens = 0;
  std::size_t busyCursor = 0;
  // Victim's interval reports: where the previous one left off, per side (TCP, uTP).
  std::int64_t nextReport = 0;
  std::size_t reportedReplies[2] = {0, 0};
  std::uint64_t reportedMissing[2] = {0, 0}, reportedCloses[2] = {0, 0};
  // Pipeline.
  bool membersReady = false;
  std::uint64_t bursts = 0, burstReplies = 0, burstInOrder = 0, burstMin = ~0ull, burstsComplete = 0;
  std::vector<std::uint32_t> burstMicros;
  // Every attacking connection.
  std::uint64_t messagesIn = 0, bytesIn = 0, closedByTracker = 0, connectFailures = 0, malformed = 0;
};

uint64 OnUtpRead(utp_callback_arguments* a) {
  current->UtpRead(a->buf, a->len);
  utp_read_drained(a->socket);
  return 0;
}
uint64 OnUtpState(utp_callback_arguments* a) {
  if (utp_get_userdata(a->socket) != nullptr) current->UtpState(a->state);
  return 0;
}
uint64 OnUtpError(utp_callback_arguments* a) {
  if (utp_get_userdata(a->socket) != nullptr) current->UtpError();
  return 0;
}
uint64 OnUtpSendTo(utp_callback_arguments* a) {
  current->UtpSend(a->buf, a->len, a->address, a->address_len);
  return 0;
}

Hostile::~Hostile() {
  if (victimUtp.context != nullptr) utp_destroy(victimUtp.context);
  if (victimUtp.fd >= 0) close(victimUtp.fd);
  for (auto& c : clients)
    if (c->fd >= 0) close(c->fd);
  for (int fd : floodFds) close(fd);
  if (epollFd >= 0) close(epollFd);
  current = nullptr;
}

sockaddr_in Hostile::Address(std::uint32_t hostOrder, std::uint16_t port) const {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(hostOrder);
  a.sin_port = htons(port);
  return a;
}

bool Hostile::SetUp() {
  current = this;
  nonce = options.seed;
  while (nonce == 0 && getrandom(&nonce, sizeof nonce, 0) != sizeof nonce) {
  }
  rng = 0x9E3779B97F4A7C15ULL ^ nonce;
  if (inet_pton(AF_INET, options.host.c_str(), &server.sin_addr) != 1) return false;
  server.sin_family = AF_INET;
  server.sin_port = htons(options.port);
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  epollFd = epoll_create1(EPOLL_CLOEXEC);
  scratch.resize(1 << 20);
  attacking = options.hostile != "victim";
  victimOn = !options.noVictim;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  return epollFd >= 0;
}

Client& Hostile::NewClient(Role role, std::uint32_t index) {
  clients.push_back(std::make_unique<Client>());
  Client& c = *clients.back();
  c.role = role;
  c.index = index;
  return c;
}

bool Hostile::Connect(Client& c, std::uint32_t source, int receiveBuffer) {
  c.in.clear();
  c.out.clear();
  c.outSent = 0;
  c.sentAt.clear();
  c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (c.fd < 0) {
    ++connectFailures;
    return false;
  }
  if (receiveBuffer > 0) setsockopt(c.fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  int one = 1;
  setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (source != 0) {
    sockaddr_in local = Address(source, 0);
    if (bind(c.fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      ++connectFailures;
      close(c.fd);
      c.fd = -1;
      return false;
    }
  }
  const auto slot = static_cast<std::uint64_t>(std::find_if(clients.begin(), clients.end(),
                                                            [&](const auto& p) { return p.get() == &c; }) -
                                               clients.begin());
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
  ev.data.u64 = slot;
  epoll_ctl(epollFd, EPOLL_CTL_ADD, c.fd, &ev);
  c.connecting = true;
  if (connect(c.fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) == 0) {
    OnOpen(c);
  } else if (errno != EINPROGRESS) {
    ++connectFailures;
    Close(c, false);
    return false;
  }
  return true;
}

void Hostile::OnEvent(Client& c, std::uint32_t events) {
  if (c.fd < 0) return;
  if (c.connecting) {
    if ((events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) == 0) return;
    int error = 0;
    socklen_t length = sizeof error;
    getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0) {
      if (c.role == Role::Victim) ++tcpSide.connectFailures;
      else ++connectFailures;
      Close(c, false);
      Reopen(c);
      return;
    }
    OnOpen(c);
    if (c.fd < 0) return;
  }
  if ((events & EPOLLOUT) != 0) {
    Flush(c);
    if (c.role == Role::Stuffer && c.open) StuffFill(c);
  }
  if (c.fd >= 0 && c.role != Role::NonReader && (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0)
    ReadAll(c);
  // A non-reader notices a close only through the end of the stream, an error or a hang-up.
  if (c.fd >= 0 && c.role == Role::NonReader && (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) {
    Close(c, true);
    c.retryAt = NowNs() + kSecond;  // paced: the mode's ticks reopen it
  }
}

void Hostile::OnOpen(Client& c) {
  c.connecting = false;
  c.open = true;
  switch (c.role) {
    case Role::Victim:
      break;  // the victim's ticks send
    case Role::Stuffer:
      StuffFill(c);
      break;
    case Role::Churner: {
      RequestFields f{nonce, kChurnPeer + static_cast<std::uint32_t>(c.cycle),
                      kChurnShare + static_cast<std::uint32_t>(c.cycle), 20, false};
      EncodeGetPeersWithAddresses(f, 256, encoded);
      Send(c, encoded.data(), encoded.size());
      break;
    }
    case Role::NonReader:
      Request(c, kBusyPeer + c.index, kBusyShare, false);
      ++nonReadersSent;
      break;
    case Role::Busy:
      // Paced: the mode's ticks send on the schedule instead.
      if (!Paced())
        for (int k = 0; k < 4; ++k) Request(c, kBusyPeer + 1000000 + c.index, kBusyShare, false);
      break;
    case Role::Member:
      break;  // warm-up runs from ModeTick
    case Role::Pipeliner:
      break;
  }
}

void Hostile::ReadAll(Client& c) {
  const std::uint64_t generation = c.generation;
  while (c.fd >= 0 && c.generation == generation) {
    ssize_t n = recv(c.fd, scratch.data(), scratch.size(), MSG_DONTWAIT);
    if (n > 0) {
      if (c.role != Role::Victim) bytesIn += static_cast<std::uint64_t>(n);
      c.in.insert(c.in.end(), scratch.data(), scratch.data() + n);
      Frame(c);
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
      Close(c, true);
      Reopen(c);
      return;
    } else if (errno != EINTR) {
      return;
    }
  }
}

void Hostile::Frame(Client& c) {
  const std::uint64_t generation = c.generation;
  std::size_t at = 0;
  while (c.in.size() - at >= 4) {
    const std::uint32_t body = ReadBigEndian32(c.in.data() + at);
    if (body > kMaxBody) {
      ++malformed;
      Close(c, false);
      return;
    }
    if (c.in.size() - at - 4 < body) break;
    at += 4 + body;
    OnMessage(c, c.in.data() + at - body, body);
    if (c.generation != generation) return;  // closed (and maybe reopened): its bytes are gone
  }
  c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(at));
}

void Hostile::OnMessage(Client& c, const std::uint8_t* body, std::size_t length) {
  if (c.role == Role::Victim) {
    VictimMessage(tcpSide, body, length);
    return;
  }
  ++messagesIn;
  PeersMessage m;
  const bool parsed = ParsePeersMessage(body, length, m);
  if (!parsed && c.role != Role::Stuffer) ++malformed;
  switch (c.role) {
    case Role::Churner:
      // The reply: this cycle is done; the next one takes the slot.
      ++churnCycles;
      Close(c, false);
      ChurnStart(c);
      break;
    case Role::Busy:
      if (!parsed) break;
      if (m.count == 1) {
        ++busyIntroductions;
      } else if (!c.sentAt.empty()) {
        c.sentAt.pop_front();
        ++busyReplies;
        if (!Paced() && sending && NowNs() < modeEnd) Request(c, kBusyPeer + 1000000 + c.index, kBusyShare, false);
      }
      break;
    case Role::Member:
      if (parsed && m.count == 0) ++c.answered;  // an announce's reply; the rest are introductions
      break;
    case Role::Pipeliner: {
      std::uint32_t share = 0;
      if (parsed && DecodeShareId(nonce, m.share, m.shareLength, &share)) c.got.push_back(share);
      c.lastReceipt = NowNs();
      if (c.got.size() == c.expected.size()) PipelineEndBurst(c);
      break;
    }
    default:
      break;
  }
}

void Hostile::Send(Client& c, const std::uint8_t* data, std::size_t length) {
  if (c.fd < 0) return;
  c.out.insert(c.out.end(), data, data + length);
  Flush(c);
}

void Hostile::Flush(Client& c) {
  while (c.fd >= 0 && c.open && c.outSent < c.out.size()) {
    ssize_t n = send(c.fd, c.out.data() + c.outSent, c.out.size() - c.outSent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      c.outSent += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        Close(c, true);
        Reopen(c);
      }
      return;
    }
  }
  if (c.outSent == c.out.size()) {
    c.out.clear();
    c.outSent = 0;
  } else if (c.outSent > (1u << 20)) {
    c.out.erase(c.out.begin(), c.out.begin() + static_cast<std::ptrdiff_t>(c.outSent));
    c.outSent = 0;
  }
}

void Hostile::Close(Client& c, bool byTracker) {
  if (c.fd < 0) return;
  if (c.role == Role::Victim) {
    if (byTracker) ++tcpSide.closes;
    VictimLost(tcpSide);
    victimTcpRetryAt = NowNs() + 200 * kMilli;
  } else if (byTracker && sending) {
    ++closedByTracker;
  }
  epoll_ctl(epollFd, EPOLL_CTL_DEL, c.fd, nullptr);
  close(c.fd);
  c.fd = -1;
  ++c.generation;
  c.in.clear();
  c.out.clear();
  c.outSent = 0;
  c.open = false;
  c.connecting = false;
  c.sentAt.clear();
}

// A connection the tracker closed (or that failed) is opened again while the
// mode runs: churners start their next cycle, stuffers go on stuffing.
void Hostile::Reopen(Client& c) {
  if (!sending || NowNs() >= modeEnd || stopRequested) return;
  if (c.role == Role::Churner) {
    ++churnFailures;
    ChurnStart(c);
  } else if (c.role == Role::Stuffer && reopened < 1000) {
    ++reopened;
    Connect(c, 0, 0);
  }
}

void Hostile::Request(Client& c, std::uint32_t peer, std::uint32_t share, bool nobody) {
  RequestFields f{nonce, peer, share, 20, nobody};
  std::uint8_t bytes[kMaxRequestSize];
  const std::size_t n = EncodeGetPeers(f, bytes);
  c.lastSend = NowNs();
  c.sentAt.push_back(c.lastSend);
  if (c.role == Role::Busy) ++busyRequests;
  Send(c, bytes, n);
}

// ---- The victim: one TCP and one uTP connection in a share of their own,
// each sending a request every 10 ms. The requests name nobody in "pwl",
// so every message that comes back is the reply to the oldest one.

void Hostile::StartVictim() {
  victimTcp = &NewClient(Role::Victim, 0);
  Connect(*victimTcp, 0x7F000002u, 0);
  victimUtp.fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in local = Address(0x7F000002u, 0);
  bind(victimUtp.fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kVictimUdpTag;
  epoll_ctl(epollFd, EPOLL_CTL_ADD, victimUtp.fd, &ev);
  victimUtp.context = utp_init(2);
  utp_set_callback(victimUtp.context, UTP_ON_READ, OnUtpRead);
  utp_set_callback(victimUtp.context, UTP_ON_STATE_CHANGE, OnUtpState);
  utp_set_callback(victimUtp.context, UTP_ON_ERROR, OnUtpError);
  utp_set_callback(victimUtp.context, UTP_SENDTO, OnUtpSendTo);
  OpenVictimUtp();
}

void Hostile::OpenVictimUtp() {
  victimUtp.socket = utp_create_socket(victimUtp.context);
  utp_set_userdata(victimUtp.socket, &victimUtp);
  victimUtp.connecting = true;
  victimUtp.in.clear();
  victimUtp.pending.clear();
  utp_connect(victimUtp.socket, reinterpret_cast<const sockaddr*>(&server), sizeof server);
}

bool Hostile::VictimReady() const { return victimTcp != nullptr && victimTcp->open && victimUtp.open; }

void Hostile::VictimTick(std::int64_t now) {
  if (victimTcp->fd < 0 && now >= victimTcpRetryAt && sending) Connect(*victimTcp, 0x7F000002u, 0);
  if (victimUtp.socket == nullptr && !victimUtp.open && now >= victimUtp.retryAt && sending) OpenVictimUtp();
  if (!sending || now < nextVictimSend) return;
  const std::int64_t lag = now - nextVictimSend;
  victimLagMax = std::max(victimLagMax, lag);
  if (lag > 10 * kMilli) ++victimLagOver10ms;
  nextVictimSend = std::max(nextVictimSend + static_cast<std::int64_t>(options.victimIntervalMs * kMilli), now);
  RequestFields tcp{nonce, kVictimPeer, kVictimShare, 20, true};
  RequestFields utp{nonce, kVictimPeer + 1, kVictimShare, 20, true};
  std::uint8_t bytes[kMaxRequestSize];
  if (victimTcp->open) {
    const std::size_t n = EncodeGetPeers(tcp, bytes);
    tcpSide.sentAt.push_back(now);
    ++tcpSide.sent;
    Send(*victimTcp, bytes, n);
  }
  if (victimUtp.open) {
    const std::size_t n = EncodeGetPeers(utp, bytes);
    utpSide.sentAt.push_back(now);
    ++utpSide.sent;
    WriteVictimUtp(bytes, n);
  }
}

void Hostile::VictimMessage(VictimSide& side, const std::uint8_t* body, std::size_t length) {
  PeersMessage m;
  std::uint32_t share = 0;
  if (!ParsePeersMessage(body, length, m) || m.count != 0 || !DecodeShareId(nonce, m.share, m.shareLength, &share) ||
      share != kVictimShare || side.sentAt.empty()) {
    ++side.odd;
    return;
  }
  const std::int64_t ns = NowNs() - side.sentAt.front();
  side.sentAt.pop_front();
  ++side.replies;
  if (ns > kSecond) ++side.late;
  side.micros.push_back(static_cast<std::uint32_t>(std::min<std::int64_t>(ns / 1000, 0xFFFFFFFFll)));
}

void Hostile::VictimLost(VictimSide& side) {
  side.lost += side.sentAt.size();
  side.sentAt.clear();
}

void Hostile::UtpRead(const std::uint8_t* data, std::size_t length) {
  victimUtp.in.insert(victimUtp.in.end(), data, data + length);
  FrameVictimUtp();
}

void Hostile::FrameVictimUtp() {
  std::size_t at = 0;
  auto& in = victimUtp.in;
  while (in.size() - at >= 4) {
    const std::uint32_t body = ReadBigEndian32(in.data() + at);
    if (body > kMaxBody) {
      ++utpSide.odd;
      in.clear();
      return;
    }
    if (in.size() - at - 4 < body) break;
    at += 4 + body;
    VictimMessage(utpSide, in.data() + at - body, body);
  }
  in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(at));
}

void Hostile::WriteVictimUtp(const std::uint8_t* data, std::size_t length) {
  victimUtp.pending.insert(victimUtp.pending.end(), data, data + length);
  while (!victimUtp.pending.empty() && victimUtp.socket != nullptr) {
    ssize_t n = utp_write(victimUtp.socket, victimUtp.pending.data(), victimUtp.pending.size());
    if (n <= 0) break;
    victimUtp.pending.erase(victimUtp.pending.begin(), victimUtp.pending.begin() + n);
  }
}

void Hostile::UtpState(int state) {
  if (state == UTP_STATE_CONNECT) {
    victimUtp.connecting = false;
    victimUtp.open = true;
  } else if (state == UTP_STATE_WRITABLE) {
    WriteVictimUtp(nullptr, 0);
  } else if (state == UTP_STATE_EOF) {
    UtpError();
  } else if (state == UTP_STATE_DESTROYING) {
    // The library frees it on its own: forget it, do not close it.
    victimUtp.socket = nullptr;
    if (victimUtp.open) ++utpSide.closes;
    VictimLost(utpSide);
    victimUtp.open = false;
    victimUtp.connecting = false;
    victimUtp.retryAt = NowNs() + 200 * kMilli;
  }
}

void Hostile::UtpError() {
  if (victimUtp.socket == nullptr) return;
  if (victimUtp.open) ++utpSide.closes;
  else ++utpSide.connectFailures;
  VictimLost(utpSide);
  utp_set_userdata(victimUtp.socket, nullptr);
  utp_close(victimUtp.socket);
  victimUtp.socket = nullptr;
  victimUtp.open = false;
  victimUtp.connecting = false;
  victimUtp.retryAt = NowNs() + 200 * kMilli;
}

void Hostile::UtpSend(const void* data, std::size_t length, const sockaddr* to, socklen_t toLength) {
  sendto(victimUtp.fd, data, length, MSG_DONTWAIT, to, toLength);
}

void Hostile::ReadVictimUdp() {
  std::uint8_t buffer[2048];
  for (int i = 0; i < 256; ++i) {
    sockaddr_storage from{};
    socklen_t fromLength = sizeof from;
    ssize_t n = recvfrom(victimUtp.fd, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                         &fromLength);
    if (n <= 0) break;
    utp_process_udp(victimUtp.context, buffer, static_cast<std::size_t>(n), reinterpret_cast<sockaddr*>(&from),
                    fromLength);
  }
  utp_issue_deferred_acks(victimUtp.context);
}

// ---- The modes.

void Hostile::StartMode() {
  const std::string& mode = options.hostile;
  if (mode == "syn-flood") {
    if (options.count == 0) options.count = 1000000;
    if (options.rate == 0) options.rate = 100000;
    for (std::uint32_t i = 0; i < options.sources; ++i) {
      int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      // 127.0.1.0, 127.0.1.1, ..., then 127.0.2.0 and on.
      sockaddr_in local = Address(0x7F000100u + i, 0);
      if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        if (fd >= 0) close(fd);
        ++connectFailures;
        continue;
      }
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.u64 = kFloodTag | floodFds.size();
      epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev);
      floodFds.push_back(fd);
    }
  } else if (mode == "stuffing") {
    if (options.clients == 0) options.clients = 4;
    if (options.count == 0) options.count = 20000;
    for (std::uint32_t i = 0; i < options.clients; ++i) Connect(NewClient(Role::Stuffer, i), 0, 0);
  } else if (mode == "churn") {
    if (options.clients == 0) options.clients = 200;
    if (options.count == 0) options.count = 1000000;
    for (std::uint32_t i = 0; i < options.clients; ++i) ChurnStart(NewClient(Role::Churner, i));
  } else if (mode == "non-reader") {
    if (options.clients == 0) options.clients = 200;
    if (Paced() && options.count == 0) options.count = 100000;  // reopens
    for (std::uint32_t i = 0; i < options.clients; ++i) Connect(NewClient(Role::NonReader, i), 0, 4096);
  } else if (mode == "pipeline") {
    if (options.clients == 0) options.clients = 1;
    if (options.count == 0) options.count = 200;
    for (std::uint32_t i = 0; i < kMemberConnections; ++i) Connect(NewClient(Role::Member, i), 0, 0);
    for (std::uint32_t i = 0; i < options.clients; ++i) Connect(NewClient(Role::Pipeliner, i), 0, 0);
  }
}

void Hostile::ModeTick(std::int64_t now) {
  const std::string& mode = options.hostile;
  if (mode == "syn-flood") {
    FloodSend(now);
  } else if (mode == "churn") {
    if (Paced())
      for (auto& p : clients)
        if (p->role == Role::Churner && p->fd < 0) ChurnStart(*p);
  } else if (mode == "non-reader") {
    // The requesters start once the non-readers are in the share, or after 3 s.
    if (!busyStarted && (nonReadersSent == options.clients || now - modeStart > 3 * kSecond)) {
      busyStarted = true;
      busyStartAt = now;
      for (std::uint32_t i = 0; i < 8; ++i) Connect(NewClient(Role::Busy, i), 0, 0);
    }
    if (Paced() && sending && now < modeEnd) {
      // The requesters' requests on the schedule, to whichever has fewer than 4 in flight.
      const std::uint64_t target = busyStarted ? PacedTarget(options.rate, now - busyStartAt, ~0ull) : 0;
      while (busyPaced + busySkipped < target) {
        Client* pick = nullptr;
        for (std::size_t k = 0; k < clients.size() && pick == nullptr; ++k) {
          Client& c = *clients[(busyCursor + k) % clients.size()];
          if (c.role == Role::Busy && c.open && c.sentAt.size() < 4) {
            pick = &c;
            busyCursor = (busyCursor + k + 1) % clients.size();
          }
        }
        if (pick == nullptr) {
          busySkipped = target - busyPaced;  // all busy: skipped, not made up later in a burst
          break;
        }
        Request(*pick, kBusyPeer + 1000000 + pick->index, kBusyShare, false);
        ++busyPaced;
      }
      // Non-readers keep writing (so the tracker's idle expiry does not close
      // them) and never read; one the tracker closed is reopened after a second.
      const auto keepalive = static_cast<std::int64_t>(options.keepalive * kSecond);
      for (auto& p : clients) {
        Client& c = *p;
        if (c.role != Role::NonReader) continue;
        if (c.open && now - c.lastSend >= keepalive) {
          Request(c, kBusyPeer + c.index, kBusyShare, false);
        } else if (c.fd < 0 && now >= c.retryAt && nonReaderReopens < options.count) {
          ++nonReaderReopens;
          Connect(c, 0, 4096);
        }
      }
    }
  } else if (mode == "pipeline") {
    // Member k of share s is id s * 16 + k, on member connection id % 4.
    const std::uint32_t perConnection = kPipeShares * kPipeMembers / kMemberConnections;
    std::uint32_t answered = 0;
    for (auto& p : clients) {
      Client& m = *p;
      if (m.role != Role::Member) continue;
      while (m.open && m.announced < perConnection && m.announced - m.answered < 16) {
        const std::uint32_t id = m.announced++ * kMemberConnections + m.index;
        Request(m, kMemberPeer + id, kPipeShare + id / kPipeMembers, true);
      }
      answered += std::min(m.answered, perConnection);
    }
    if (answered == perConnection * kMemberConnections) membersReady = true;
    // Announce replies lost at the tracker would stall the warm-up: go on after 3 s.
    if (now - modeStart > 3 * kSecond) membersReady = true;
    if (!membersReady) return;
    for (auto& p : clients) {
      Client& c = *p;
      if (c.role != Role::Pipeliner || !c.open) continue;
      if (c.burstOpen && now - std::max(c.lastReceipt, c.burstStart) > kSecond) PipelineEndBurst(c);
      if (!c.burstOpen && bursts < options.count && sending && now < modeEnd) PipelineBurst(c, now);
    }
  }
}

bool Hostile::ModeDone(std::int64_t now) const {
  if (now >= modeEnd || stopRequested) return true;
  const std::string& mode = options.hostile;
  if (mode == "syn-flood") return synSent >= options.count;
  if (mode == "stuffing") return stuffIds >= options.count;
  if (mode == "churn") return churnCycles >= options.count;
  if (mode == "pipeline") {
    if (bursts < options.count) return false;
    for (const auto& p : clients)
      if (p->role == Role::Pipeliner && p->burstOpen) return false;
    return true;
  }
  return false;
}

void Hostile::FloodSend(std::int64_t now) {
  if (floodFds.empty()) return;
  const double elapsed = static_cast<double>(now - modeStart) / kSecond;
  const auto target = std::min<std::uint64_t>(options.count, static_cast<std::uint64_t>(options.rate * elapsed));
  constexpr int kBatch = 64;
  std::uint8_t packets[kBatch][kUtpHeaderSize];
  iovec vectors[kBatch];
  mmsghdr messages[kBatch];
  // At most a few milliseconds of sending per pass, so replies are read too.
  const std::int64_t stopAt = now + 3 * kMilli;
  while (synSent < target && NowNs() < stopAt) {
    const int n = static_cast<int>(std::min<std::uint64_t>(kBatch, target - synSent));
    const auto micros = static_cast<std::uint32_t>(NowNs() / 1000);
    sockaddr_in to = server;
    for (int i = 0; i < n; ++i) {
      const std::uint64_t r = XorShift(rng);
      EncodeUtpSyn(static_cast<std::uint16_t>(r), static_cast<std::uint16_t>(r >> 16), micros, packets[i]);
      vectors[i] = {packets[i], kUtpHeaderSize};
      messages[i].msg_hdr = {};
      messages[i].msg_hdr.msg_name = &to;
      messages[i].msg_hdr.msg_namelen = sizeof to;
      messages[i].msg_hdr.msg_iov = &vectors[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    const int fd = floodFds[floodCursor];
    floodCursor = (floodCursor + 1) % static_cast<std::uint32_t>(floodFds.size());
    const int done = sendmmsg(fd, messages, static_cast<unsigned>(n), MSG_DONTWAIT);
    if (done < n) {
      // A full socket buffer: those SYNs are not sent; count them as sent-and-dropped
      // would flatter nothing, so they are counted apart and the target moves on.
      synDropped += static_cast<std::uint64_t>(n - std::max(done, 0));
    }
    synSent += static_cast<std::uint64_t>(n);
  }
}

void Hostile::FloodRead(std::uint32_t i) {
  std::uint8_t buffers[64][64];
  iovec vectors[64];
  mmsghdr messages[64];
  for (int round = 0; round < 8; ++round) {
    for (int k = 0; k < 64; ++k) {
      vectors[k] = {buffers[k], sizeof buffers[k]};
      messages[k].msg_hdr = {};
      messages[k].msg_hdr.msg_iov = &vectors[k];
      messages[k].msg_hdr.msg_iovlen = 1;
    }
    const int n = recvmmsg(floodFds[i], messages, 64, MSG_DONTWAIT, nullptr);
    if (n <= 0) return;
    for (int k = 0; k < n; ++k) {
      ++floodReplies;
      const std::uint8_t type = buffers[k][0] >> 4;
      if (messages[k].msg_len >= 1 && type == 2) ++floodStates;
      if (messages[k].msg_len >= 1 && type == 3) ++floodResets;
    }
    if (n < 64) return;
  }
}

// Announces new ids with large "la"/"la_list" for as long as the connection
// takes them; a connection the tracker closes is opened again.
void Hostile::StuffFill(Client& c) {
  while (c.fd >= 0 && c.open && c.out.size() - c.outSent < (512u << 10) && stuffIds < options.count && sending &&
         NowNs() < modeEnd) {
    const auto id = static_cast<std::uint32_t>(stuffIds++);
    RequestFields f{nonce, kStuffPeer + id, kStuffShare + id / 16, 20, false};
    EncodeGetPeersWithAddresses(f, options.laBytes, encoded);
    stuffBytes += encoded.size();
    c.out.insert(c.out.end(), encoded.begin(), encoded.end());
    Flush(c);
  }
}

void Hostile::ChurnStart(Client& c) {
  if (!sending || churnStarted >= options.count || NowNs() >= modeEnd) return;
  // Paced: a slot whose cycle is not due yet waits; the mode's ticks start it.
  if (Paced() && churnStarted >= PacedTarget(options.rate, NowNs() - modeStart, options.count)) return;
  c.cycle = churnStarted++;
  // Spread over 127.0.2.0-255 so no one address runs out of ports.
  if (!Connect(c, 0x7F000200u + static_cast<std::uint32_t>(c.cycle % 256), 0)) ++churnFailures;
}

void Hostile::PipelineBurst(Client& c, std::int64_t now) {
  std::vector<std::uint8_t> burst;
  burst.reserve(kBurst * kMaxRequestSize);
  c.expected.clear();
  c.got.clear();
  std::uint8_t bytes[kMaxRequestSize];
  for (std::uint32_t i = 0; i < kBurst; ++i) {
    const std::uint32_t share = kPipeShare + i;
    RequestFields f{nonce, kPipePeer + c.index, share, 20, false};
    const std::size_t n = EncodeGetPeers(f, bytes);
    burst.insert(burst.end(), bytes, bytes + n);
    c.expected.push_back(share);
  }
  c.burstOpen = true;
  c.burstStart = now;
  c.lastReceipt = now;
  ++bursts;
  Send(c, burst.data(), burst.size());  // one send() of all 100
}

void Hostile::PipelineEndBurst(Client& c) {
  c.burstOpen = false;
  const auto got = static_cast<std::uint64_t>(c.got.size());
  burstReplies += got;
  burstInOrder += CountInOrder(c.expected, c.got);
  burstMin = std::min(burstMin, got);
  if (got == c.expected.size()) {
    ++burstsComplete;
    burstMicros.push_back(static_cast<std::uint32_t>((c.lastReceipt - c.burstStart) / 1000));
  }
}

void Hostile::Pump(int waitMs) {
  epoll_event events[512];
  const int n = epoll_wait(epollFd, events, 512, waitMs);
  for (int i = 0; i < n; ++i) {
    const std::uint64_t tag = events[i].data.u64;
    if ((tag & kFloodTag) != 0) FloodRead(static_cast<std::uint32_t>(tag & 0xFFFFFFFFu));
    else if (tag == kVictimUdpTag) ReadVictimUdp();
    else if (tag < clients.size()) OnEvent(*clients[tag], events[i].events);
  }
  if (victimUtp.context != nullptr) {
    utp_issue_deferred_acks(victimUtp.context);
    utp_check_timeouts(victimUtp.context);
  }
}

int Hostile::Run() {
  if (!SetUp()) {
    std::fprintf(stderr, "loadgen: hostile set-up failed: %s\n", std::strerror(errno));
    return 2;
  }
  started = NowNs();
  hardDeadline = started + static_cast<std::int64_t>(options.timeout * kSecond);
  if (victimOn) {
    StartVictim();
    // The victim is connected before the attack starts (at most 3 s).
    while (!VictimReady() && NowNs() < started + 3 * kSecond && !stopRequested) Pump(5);
    if (!VictimReady()) std::fprintf(stderr, "loadgen: the victim did not connect in 3 s\n");
  }
  modeStart = NowNs();
  modeEnd = modeStart + static_cast<std::int64_t>(options.duration * kSecond);
  nextVictimSend = modeStart;
  nextReport = modeStart + static_cast<std::int64_t>(options.reportEvery * kSecond);
  if (attacking) StartMode();
  for (;;) {
    const std::int64_t now = NowNs();
    if (now > hardDeadline) {
      timedOut = true;
      break;
    }
    if (attacking) ModeTick(now);
    if (victimOn) VictimTick(now);
    if (victimOn && options.reportEvery > 0 && now >= nextReport) IntervalReport(now);
    if (ModeDone(now)) break;
    Pump(1);
  }
  measuredEnd = NowNs();
  // One more second, sending nothing: replies later than that count as missing.
  sending = false;
  const std::int64_t graceEnd = measuredEnd + kSecond;
  while (NowNs() < graceEnd && NowNs() < hardDeadline + 5 * kSecond) {
    if (victimOn && tcpSide.sentAt.empty() && utpSide.sentAt.empty() && !attacking) break;
    Pump(1);
  }
  for (auto& p : clients)
    if (p->role == Role::Pipeliner && p->burstOpen) PipelineEndBurst(*p);
  VictimLost(tcpSide);
  VictimLost(utpSide);
  for (const auto& p : clients)
    if (p->role == Role::NonReader && p->open) ++nonReadersOpen;
  for (auto& p : clients) Close(*p, false);
  if (victimUtp.socket != nullptr) {
    // Closed properly, so the tracker does not keep it until its idle expiry.
    utp_set_userdata(victimUtp.socket, nullptr);
    utp_close(victimUtp.socket);
    victimUtp.socket = nullptr;
    const std::int64_t closeEnd = NowNs() + 300 * kMilli;
    while (NowNs() < closeEnd) Pump(5);
  }
  Report();
  return timedOut ? 3 : 0;
}

// One line per --report-every seconds: each side's replies, latency and
// missing replies over the interval just ended, and how many of its requests
// have waited over 1 s without a reply at this moment ("overdue").
void Hostile::IntervalReport(std::int64_t now) {
  nextReport += static_cast<std::int64_t>(options.reportEvery * kSecond);
  VictimSide* sides[2] = {&tcpSide, &utpSide};
  const bool open[2] = {victimTcp != nullptr && victimTcp->open, victimUtp.open};
  char text[2][320];
  for (int i = 0; i < 2; ++i) {
    VictimSide& s = *sides[i];
    const IntervalLatency l = SummariseInterval(s.micros, reportedReplies[i]);
    reportedReplies[i] = s.micros.size();
    const std::uint64_t missing = s.late + s.lost - reportedMissing[i];
    reportedMissing[i] = s.late + s.lost;
    const std::uint64_t closes = s.closes - reportedCloses[i];
    reportedCloses[i] = s.closes;
    std::uint64_t overdue = 0;
    for (std::int64_t at : s.sentAt) {
      if (now - at <= kSecond) break;
      ++overdue;
    }
    std::snprintf(text[i], sizeof text[i],
                  "{\"replies\": %llu, \"p50_ms\": %.3f, \"p99_ms\": %.3f, \"max_ms\": %.3f, \"missing\": %llu, "
                  "\"overdue\": %llu, \"closes\": %llu, \"open\": %s}",
                  static_cast<unsigned long long>(l.replies), l.p50Ms, l.p99Ms, l.maxMs,
                  static_cast<unsigned long long>(missing), static_cast<unsigned long long>(overdue),
                  static_cast<unsigned long long>(closes), open[i] ? "true" : "false");
  }
  std::printf("interval {\"t_s\": %.1f, \"tcp\": %s, \"utp\": %s}\n", static_cast<double>(now - modeStart) / kSecond,
              text[0], text[1]);
  std::fflush(stdout);
}

void Hostile::Report() {
  const double seconds = static_cast<double>(measuredEnd - modeStart) / kSecond;
  std::vector<std::uint32_t> both = tcpSide.micros;
  both.insert(both.end(), utpSide.micros.begin(), utpSide.micros.end());
  std::sort(both.begin(), both.end());
  std::sort(tcpSide.micros.begin(), tcpSide.micros.end());
  std::sort(utpSide.micros.begin(), utpSide.micros.end());
  std::sort(burstMicros.begin(), burstMicros.end());
  const std::uint64_t missing = tcpSide.late + tcpSide.lost + utpSide.late + utpSide.lost;
  char attack[1024];
  const std::string& mode = options.hostile;
  if (mode == "syn-flood") {
    std::snprintf(attack, sizeof attack,
                  "{\"syn_sent\": %llu, \"syn_send_failed\": %llu, \"sources\": %zu, \"replies\": %llu, "
                  "\"state_replies\": %llu, \"reset_replies\": %llu, \"syn_per_s\": %.0f}",
                  static_cast<unsigned long long>(synSent - synDropped), static_cast<unsigned long long>(synDropped),
                  floodFds.size(), static_cast<unsigned long long>(floodReplies),
                  static_cast<unsigned long long>(floodStates), static_cast<unsigned long long>(floodResets),
                  seconds > 0 ? static_cast<double>(synSent - synDropped) / seconds : 0.0);
  } else if (mode == "stuffing") {
    std::snprintf(attack, sizeof attack,
                  "{\"connections\": %u, \"ids_sent\": %llu, \"la_bytes\": %u, \"bytes_queued\": %llu, "
                  "\"reconnects\": %llu}",
                  options.clients, static_cast<unsigned long long>(stuffIds), options.laBytes,
                  static_cast<unsigned long long>(stuffBytes), static_cast<unsigned long long>(reopened));
  } else if (mode == "churn") {
    std::snprintf(attack, sizeof attack,
                  "{\"concurrency\": %u, \"cycles\": %llu, \"cycles_per_s\": %.0f, \"failures\": %llu}",
                  options.clients, static_cast<unsigned long long>(churnCycles),
                  seconds > 0 ? static_cast<double>(churnCycles) / seconds : 0.0,
                  static_cast<unsigned long long>(churnFailures));
  } else if (mode == "non-reader") {
    const std::uint32_t stillOpen = nonReadersOpen;
    std::snprintf(attack, sizeof attack,
                  "{\"non_readers\": %u, \"non_readers_open_at_end\": %u, \"busy_requests\": %llu, "
                  "\"busy_replies\": %llu, \"busy_introductions\": %llu, \"paced_skipped\": %llu, "
                  "\"non_readers_reopened\": %llu}",
                  options.clients, stillOpen, static_cast<unsigned long long>(busyRequests),
                  static_cast<unsigned long long>(busyReplies), static_cast<unsigned long long>(busyIntroductions),
                  static_cast<unsigned long long>(busySkipped), static_cast<unsigned long long>(nonReaderReopens));
  } else if (mode == "pipeline") {
    std::snprintf(attack, sizeof attack,
                  "{\"bursts\": %llu, \"requests\": %llu, \"replies\": %llu, \"in_order\": %llu, "
                  "\"fewest_in_a_burst\": %llu, \"complete_bursts\": %llu, \"burst_ms_p50\": %.2f, "
                  "\"burst_ms_max\": %.2f}",
                  static_cast<unsigned long long>(bursts), static_cast<unsigned long long>(bursts * kBurst),
                  static_cast<unsigned long long>(burstReplies), static_cast<unsigned long long>(burstInOrder),
                  static_cast<unsigned long long>(bursts == 0 ? 0 : burstMin),
                  static_cast<unsigned long long>(burstsComplete), Percentile(burstMicros, 0.5),
                  burstMicros.empty() ? -1.0 : burstMicros.back() / 1000.0);
  } else {
    std::snprintf(attack, sizeof attack, "{}");
  }
  char common[512];
  std::snprintf(common, sizeof common,
                "\"messages_in\": %llu, \"bytes_in\": %llu, \"closed_by_tracker\": %llu, "
                "\"connect_failures\": %llu, \"malformed\": %llu",
                static_cast<unsigned long long>(messagesIn), static_cast<unsigned long long>(bytesIn),
                static_cast<unsigned long long>(closedByTracker), static_cast<unsigned long long>(connectFailures),
                static_cast<unsigned long long>(malformed));
  auto side = [](VictimSide& s, char* out, std::size_t size) {
    std::snprintf(out, size,
                  "{\"sent\": %llu, \"replies\": %llu, \"late\": %llu, \"lost\": %llu, \"odd\": %llu, "
                  "\"closes\": %llu, \"connect_failures\": %llu, \"p50_ms\": %.3f, \"p99_ms\": %.3f, "
                  "\"max_ms\": %.3f}",
                  static_cast<unsigned long long>(s.sent), static_cast<unsigned long long>(s.replies),
                  static_cast<unsigned long long>(s.late), static_cast<unsigned long long>(s.lost),
                  static_cast<unsigned long long>(s.odd), static_cast<unsigned long long>(s.closes),
                  static_cast<unsigned long long>(s.connectFailures), Percentile(s.micros, 0.5),
                  Percentile(s.micros, 0.99), s.micros.empty() ? -1.0 : s.micros.back() / 1000.0);
  };
  char tcp[512], utp[512];
  side(tcpSide, tcp, sizeof tcp);
  side(utpSide, utp, sizeof utp);
  const double p50 = Percentile(both, 0.5), p99 = Percentile(both, 0.99);
  const double max = both.empty() ? -1.0 : both.back() / 1000.0;

  std::printf("hostile %s: %.1f s, attack %s\n  %s\n", mode.c_str(), seconds, attack, common);
  if (victimOn)
    std::printf("  victim: %llu requests, p50 %.3f ms, p99 %.3f ms, max %.3f ms, missing after 1 s %llu\n",
                static_cast<unsigned long long>(tcpSide.sent + utpSide.sent), p50, p99, max,
                static_cast<unsigned long long>(missing));
  if (timedOut) std::printf("  hard time-out\n");
  std::fflush(stdout);
  if (options.json.empty()) return;
  std::FILE* f = std::fopen(options.json.c_str(), "w");
  if (f == nullptr) return;
  std::fprintf(f, "{\"label\": \"%s\", \"mode\": \"%s\", \"seconds\": %.3f, \"timed_out\": %s, \"attack\": %s, %s",
               options.label.c_str(), mode.c_str(), seconds, timedOut ? "true" : "false", attack, common);
  if (victimOn)
    std::fprintf(f,
                 ", \"victim\": {\"requests\": %llu, \"replies\": %llu, \"missing\": %llu, \"p50_ms\": %.3f, "
                 "\"p99_ms\": %.3f, \"max_ms\": %.3f, \"send_lag_max_ms\": %.3f, \"sends_late_over_10ms\": %llu, "
                 "\"tcp\": %s, \"utp\": %s}",
                 static_cast<unsigned long long>(tcpSide.sent + utpSide.sent),
                 static_cast<unsigned long long>(tcpSide.replies + utpSide.replies),
                 static_cast<unsigned long long>(missing), p50, p99, max,
                 static_cast<double>(victimLagMax) / kMilli, static_cast<unsigned long long>(victimLagOver10ms), tcp,
                 utp);
  std::fprintf(f, "}\n");
  std::fclose(f);
}

}  // namespace

bool IsHostileMode(const std::string& mode) {
  for (const char* m : {"syn-flood", "stuffing", "churn", "non-reader", "pipeline", "victim"})
    if (mode == m) return true;
  return false;
}

void EncodeUtpSyn(std::uint16_t connectionId, std::uint16_t sequence, std::uint32_t timestampMicros,
                  std::uint8_t out[kUtpHeaderSize]) {
  std::memset(out, 0, kUtpHeaderSize);
  out[0] = kSynTypeVersion;
  out[1] = 0;  // no extension
  out[2] = static_cast<std::uint8_t>(connectionId >> 8);
  out[3] = static_cast<std::uint8_t>(connectionId);
  for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<std::uint8_t>(timestampMicros >> (24 - 8 * i));
  // timestamp difference 0; window 1 MiB
  out[14] = 0x10;
  out[16] = static_cast<std::uint8_t>(sequence >> 8);
  out[17] = static_cast<std::uint8_t>(sequence);
  // ack_nr 0
}

std::uint32_t CountInOrder(const std::vector<std::uint32_t>& expected, const std::vector<std::uint32_t>& got) {
  std::uint32_t matched = 0;
  std::size_t at = 0;
  for (std::uint32_t g : got) {
    std::size_t k = at;
    while (k < expected.size() && expected[k] != g) ++k;
    if (k == expected.size()) continue;  // out of order or foreign: not counted
    ++matched;
    at = k + 1;
  }
  return matched;
}

std::uint64_t PacedTarget(double rate, std::int64_t elapsedNs, std::uint64_t count) {
  if (rate <= 0 || elapsedNs <= 0) return 0;
  const double due = rate * static_cast<double>(elapsedNs) / kSecond;
  return due >= static_cast<double>(count) ? count : static_cast<std::uint64_t>(due);
}

IntervalLatency SummariseInterval(const std::vector<std::uint32_t>& micros, std::size_t from) {
  IntervalLatency l;
  if (from >= micros.size()) return l;
  std::vector<std::uint32_t> slice(micros.begin() + static_cast<std::ptrdiff_t>(from), micros.end());
  std::sort(slice.begin(), slice.end());
  l.replies = slice.size();
  l.p50Ms = Percentile(slice, 0.5);
  l.p99Ms = Percentile(slice, 0.99);
  l.maxMs = slice.back() / 1000.0;
  return l;
}

int RunHostile(const Options& options) {
  Hostile hostile(options);
  return hostile.Run();
}

}  // namespace loadgen
