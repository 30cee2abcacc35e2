// The load generator proper: connections, phases and counters.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

#include "classify.h"
#include "layout.h"
#include "options.h"
#include "proc_stats.h"

struct UTPSocket;
struct struct_utp_context;

namespace loadgen {

// A FIFO of the requests a connection has in flight.
class OutstandingQueue {
 public:
  bool Empty() const { return size == 0; }
  std::uint32_t Size() const { return size; }
  Outstanding& Front() { return slots[head]; }
  void Push(const Outstanding& o) {
    if (size == slots.size()) Grow();
    slots[(head + size) & (slots.size() - 1)] = o;
    ++size;
  }
  void Pop() {
    head = (head + 1) & (static_cast<std::uint32_t>(slots.size()) - 1);
    --size;
  }

 private:
  void Grow() {
    std::vector<Outstanding> bigger(slots.empty() ? 4 : slots.size() * 2);
    for (std::uint32_t i = 0; i < size; ++i) bigger[i] = slots[(head + i) & (slots.size() - 1)];
    slots.swap(bigger);
    head = 0;
  }
  std::vector<Outstanding> slots;
  std::uint32_t head = 0;
  std::uint32_t size = 0;
};

struct Connection {
  enum class State : std::uint8_t { NotOpened, Connecting, Open, Closed };
  std::uint32_t index = 0;
  bool utp = false;
  State state = State::NotOpened;
  int fd = -1;
  UTPSocket* utpSocket = nullptr;
  std::uint32_t udp = 0;
  std::vector<std::uint8_t> partial;  // received bytes of an incomplete message
  std::vector<std::uint8_t> pending;  // bytes the transport has not taken yet
  OutstandingQueue outstanding;
  std::uint32_t nextPeer = 0;         // round robin over this connection's peers
  std::uint32_t announcesSent = 0;
  std::uint32_t announcesAnswered = 0;
  bool settled = false;               // warm-up finished or connection lost
  std::int64_t lastSend = 0;
};

// Datagrams the library produced since the last flush: they leave many to a
// sendmmsg call.
struct Outbox {
  struct Entry {
    std::size_t offset;
    std::size_t length;
    sockaddr_storage to;
    socklen_t toLength;
  };
  std::vector<std::uint8_t> bytes;
  std::vector<Entry> entries;
};

struct UdpEndpoint {
  int fd = -1;
  struct_utp_context* context = nullptr;
  Outbox outbox;
};

struct Counters {
  std::uint64_t requests = 0;
  std::uint64_t replies = 0;
  std::uint64_t introductions = 0;
  std::uint64_t keepalives = 0;
  std::uint64_t announces = 0;
  std::uint64_t replyBytes = 0;
  std::uint64_t introductionBytes = 0;
  std::uint64_t listed = 0;  // entries of all replies: introductions owed
};

struct Errors {
  std::uint64_t malformed = 0;
  std::uint64_t unexpected = 0;
  std::uint64_t unexpectedCloses = 0;
  std::uint64_t connectFailures = 0;
  std::uint64_t missingReplies = 0;
  std::uint64_t lostIntroductions = 0;
  std::uint64_t Total() const {
    return malformed + unexpected + unexpectedCloses + connectFailures + missingReplies + lostIntroductions;
  }
};

class Generator {
 public:
  explicit Generator(const Options& options);
  ~Generator();
  // Runs every phase; returns the process exit code.
  int Run();

  // Entry points of the libutp callbacks.
  void OnUtpRead(Connection& c, const std::uint8_t* data, std::size_t length);
  void OnUtpConnected(Connection& c);
  void OnUtpWritable(Connection& c);
  void OnUtpClosed(Connection& c, bool connectFailed);
  void OnUtpDestroyed(Connection& c);
  void SendDatagram(UdpEndpoint& udp, const void* data, std::size_t length, const sockaddr* to, socklen_t toLength);
  void FlushDatagrams();

 private:
  enum class Phase { Warmup, Measure, Drain, Hold, Closing, Done };

  bool SetUp();
  void OpenConnections();
  void OpenTcp(Connection& c);
  void OpenUtp(Connection& c);
  void OnOpened(Connection& c);
  void Pump(int timeoutMs);
  void OnTcpEvent(Connection& c, std::uint32_t events);
  void OnUdpReadable(UdpEndpoint& udp);
  void ReadTcp(Connection& c, bool ended);
  void Receive(Connection& c, const std::uint8_t* data, std::size_t length);
  void HandleMessage(Connection& c, const std::uint8_t* message, std::size_t length);
  void SendRequest(Connection& c, Purpose purpose);
  void Settle(Connection& c);
  std::size_t Frame(Connection& c, const std::uint8_t* data, std::size_t length);
  void Finish();
  void Write(Connection& c, const std::uint8_t* data, std::size_t length);
  void FlushPending(Connection& c);
  void CloseConnection(Connection& c, bool byPeer);
  void ContinueWarmup(Connection& c);
  void IssueRateRequests();
  void SendKeepalives();
  void StartMeasure();
  void EndMeasure();
  void CloseAll();
  void Report(int exitCode);

  Options options;
  Layout layout;
  std::uint32_t nonce = 0;
  sockaddr_storage server{};
  socklen_t serverLength = 0;
  std::vector<sockaddr_storage> targets;  // server at each of options.ports; connection i uses i mod n
  int epollFd = -1;
  std::vector<Connection> connections;
  std::vector<UdpEndpoint> udps;
  std::vector<std::uint8_t> scratch;

  Phase phase = Phase::Warmup;
  std::uint32_t nextToOpen = 0;
  std::uint32_t connecting = 0;
  std::uint32_t settledCount = 0;   // connections done with warm-up, either way
  std::uint64_t inFlightOpen = 0;   // requests outstanding on open connections
  std::int64_t closingDeadline = 0;
  std::int64_t holdDeadline = 0;
  std::int64_t startedAt = 0;
  std::int64_t measureStart = 0;
  std::int64_t measureEnd = 0;
  std::int64_t drainEnd = 0;
  std::int64_t drainDeadline = 0;
  std::int64_t deadline = 0;
  bool timedOut = false;

  // Rate mode.
  std::uint64_t rateIssued = 0;
  std::uint64_t rateShortfall = 0;
  std::uint32_t rateCursor = 0;
  std::int64_t lastKeepaliveScan = 0;

  Counters total;
  Counters window;  // inside the measured window only
  Errors errors;
  std::uint64_t datagramDrops = 0;
  std::vector<std::uint32_t> latencies;  // nanoseconds

  ProcessSample trackerBefore, trackerWarm, trackerEnd;
  double ownCpuStart = 0;
  double ownCpuEnd = 0;
  double warmupSeconds = 0;
};

std::int64_t NowNs();

}  // namespace loadgen
