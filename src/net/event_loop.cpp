#include "net/event_loop.h"

#include <chrono>
#include <memory>

#include "cluster/cluster_service.h"
#include "log/log.h"
#include "log/loop_clock.h"
#include "net/admission.h"
#include "net/io_port_context.h"
#include "net/listening_sockets.h"
#include "net/metrics_server.h"
#include "net/tcp_socket.h"
#include "net/udp_socket.h"
#include "platform/process_control.h"

namespace lattice {
namespace {

constexpr int kBatch = 1024;
constexpr int kWaitMs = 100;
// Requests a pass's first batch must bring before the pass looks for more.
constexpr std::uint64_t kGatherAfterRequests = 8;
// How long a pass may go on looking for more before it flushes. A few
// connections that stream without pause keep every look busy, and where a
// completion is dear (under Wine) a batch's worth of them made other
// clients' replies wait a second. Many busy connections, which is what
// gathering is for, fill their passes well within it.
constexpr auto kGatherFor = std::chrono::microseconds(2000);

std::uint64_t RequestsSeen(const TrackerStats& stats) {
  std::uint64_t n = 0;
  for (std::uint64_t kind : stats.getPeersTotal) n += kind;
  return n;
}

std::int64_t SteadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The loop: it waits, hands each completion to the object that owns its
// record, takes accepted connections, sends what the pass queued, sweeps and
// runs the timers. The I/O objects run their own state machines.
class EventLoop {
 public:
  EventLoop(Tracker& tracker, const LoopOptions& options, MetricsSetup& metricsSetup)
      : context(tracker), tracker(tracker), options(options), metricsSetup(metricsSetup) {
    context.mtu = options.mtu;
  }
  bool SetUp(const std::vector<platform::SocketHandle>& tcpHandles,
             const std::vector<platform::SocketHandle>& udpHandles);
  // One pass; false when the port was found closed.
  bool RunPass();
  void ShutDown(std::vector<platform::SocketHandle>& tcpHandles, std::vector<platform::SocketHandle>& udpHandles);

 private:
  // A completion with no record is a wake-up: what it announces (accepted
  // connections, datagrams left for the next pass) the pass takes itself.
  static void Dispatch(const platform::Completion& c) {
    if (c.record != nullptr) OwnerOfRecord(c.record)->OnCompletion(c);
  }
  void TakeAcceptedConnections();
  void TakeAcceptedConnection(AcceptRecord* record);
  bool TransfersInFlight();
  // Waits a bounded time for the port, dispatching as in a pass (every
  // object is closed by then, so completions only settle counts and let the
  // queued datagrams leave), until done() holds.
  template <typename Done>
  void WaitForTransfers(int milliseconds, Done done);

  IoPortContext context;
  Tracker& tracker;
  const LoopOptions& options;
  AcceptQueue acceptQueue;
  std::vector<std::unique_ptr<AcceptThread>> acceptThreads;
  std::vector<std::unique_ptr<UdpSocket>> udpSockets;
  platform::Completion batch[kBatch];
  MetricsSetup& metricsSetup;
  // Made once the port exists.
  std::unique_ptr<MetricsServer> metrics;
  // In cluster mode only.
  std::unique_ptr<cluster::ClusterService> cluster;
};

bool EventLoop::SetUp(const std::vector<platform::SocketHandle>& tcpHandles,
                      const std::vector<platform::SocketHandle>& udpHandles) {
  int error = 0;
  const char* wanted = options.ioBackend.empty() ? nullptr : options.ioBackend.c_str();
  context.port = platform::CreateIoPort(wanted, &error);
  if (context.port == nullptr) {
    Log("Failed to create IO completion port (%d)", error);
    return false;
  }
  const char* backend = platform::IoBackendName(context.port);
  if (const int refused = platform::IoBackendFallbackError(context.port)) {
    Log("I/O backend: %s (io_uring refused: %s)", backend, platform::ErrorText(refused));
  } else if (wanted != nullptr && options.ioBackend != backend) {
    Log("I/O backend: %s (%s is not available here)", backend, wanted);
  } else {
    Log("I/O backend: %s", backend);
  }
  for (platform::SocketHandle h : udpHandles) {
    if (!platform::AttachSocket(context.port, h, h, &error)) {
      Log("Failed to assign IO completion port to UDP socket (%d)", error);
      platform::CloseIoPort(context.port);
      context.port = nullptr;
      return false;
    }
  }
  context.sockets.Reserve(200000);
  context.readTag = platform::CreateIoTag();
  context.writeTag = platform::CreateIoTag();
  acceptQueue.connectionBufferBytes = static_cast<std::int32_t>(tracker.limits.connectionBufferBytes);
  for (platform::SocketHandle h : tcpHandles)
    acceptThreads.push_back(std::make_unique<AcceptThread>(h, context.port, acceptQueue));
  for (platform::SocketHandle h : udpHandles) udpSockets.push_back(std::make_unique<UdpSocket>(h, &context));
  metrics = std::make_unique<MetricsServer>(context, metricsSetup);
  if (options.cluster != nullptr) {
    cluster = cluster::StartClusterService(context, *options.cluster);
    if (cluster != nullptr) tracker.shared = &cluster->Registry();
  }
  return true;
}

bool EventLoop::RunPass() {
  const std::int64_t now = tracker.now = RefreshLoopClock();
  int count = 0;
  int error = 0;
  // Cluster calls have deadlines shorter than the usual wait.
  const int waitMs = cluster != nullptr ? cluster->MillisecondsToNextTimer(SteadyMilliseconds(), kWaitMs) : kWaitMs;
  platform::WaitStatus status = platform::WaitForCompletions(context.port, batch, kBatch, waitMs, &count, &error);
  if (status == platform::WaitStatus::PortClosed) {
    Log("Completion port was unexpectedly closed");
    return false;
  }
  if (status == platform::WaitStatus::Failed) Log("Completion port error (%d)", error);
  // The pass's work, from here on, is what the pass-time histogram measures.
  const auto workStart = std::chrono::steady_clock::now();
  const std::uint64_t requestsBefore = RequestsSeen(tracker.stats);
  for (int i = 0; i < count; ++i) Dispatch(batch[i]);
  // Under load, input arrives while a batch is handled. Taking it before the
  // flush sends each connection what the whole pass made for it at once;
  // flushing after every small batch would send it in pieces, a segment and
  // a wake-up of the client each. A look that finds nothing, a full batch's
  // worth handled or 2 ms of looking end the pass, so a reply waits at most
  // that.
  // Under light load a reply does not wait for requests that came after it.
  if (RequestsSeen(tracker.stats) - requestsBefore >= kGatherAfterRequests) {
    for (int handled = count;
         count > 0 && handled < kBatch && std::chrono::steady_clock::now() - workStart < kGatherFor;
         handled += count) {
      count = 0;
      if (platform::WaitForCompletions(context.port, batch, kBatch - handled, 0, &count, &error) !=
          platform::WaitStatus::Ready)
        break;
      for (int i = 0; i < count; ++i) Dispatch(batch[i]);
    }
  }
  if (acceptQueue.Waiting()) TakeAcceptedConnections();
  metrics->TakeAcceptedConnections();
  // Datagrams waiting are taken before the flush: the replies they bring
  // leave in this pass and carry the library's acknowledgements, which
  // would otherwise go out below as datagrams of their own.
  for (auto& udp : udpSockets) udp->ReceiveMore();
  // Its answers resume connections whose replies leave with this pass.
  if (cluster != nullptr) cluster->RunPass(SteadyMilliseconds());
  context.sockets.FlushWantedSends();
  context.sockets.SweepIfManyClosed(now);
  if (SweepDue(now, context.lastSweep)) {
    context.sockets.SweepSockets(now);
    context.lastSweep = now;
  }
  for (auto& udp : udpSockets) udp->RunTimers();
  metrics->CloseExpired(now);
  tracker.stats.limitHits[kLimitDescriptors] = acceptQueue.refused.load(std::memory_order_relaxed);
  ReportStatistics(tracker.stats, now);
  const auto work = std::chrono::steady_clock::now() - workStart;
  tracker.stats.passTimes.Observe(
      static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(work).count()));
  return true;
}

void EventLoop::TakeAcceptedConnections() {
  while (AcceptRecord* record = acceptQueue.Pop()) TakeAcceptedConnection(record);
}

void EventLoop::TakeAcceptedConnection(AcceptRecord* record) {
  const platform::SocketHandle h = record->handle;
  const CompactAddress address = ToCompactAddress(record->address.bytes);
  delete record;
  int error = 0;
  if (!platform::AttachSocket(context.port, h, h, &error)) {
    Log("Failed to assign IO completion port to TCP socket (%d)", error);
    platform::CloseSocket(nullptr, h);
    return;
  }
  // Refused before any object exists, so a refused client costs nothing and
  // shows in no connection count.
  if (!context.admission.Admit(tracker, address)) {
    platform::CloseSocket(context.port, h);
    return;
  }
  platform::DisableCoalescing(h);
  new TcpSocket(h, address, &context);  // the loop's list owns it
}

bool EventLoop::TransfersInFlight() {
  for (auto& udp : udpSockets)
    if (udp->TransfersInFlight()) return true;
  for (Socket* s : context.sockets)
    if (s->TransfersInFlight() != 0) return true;
  if (cluster != nullptr && cluster->TransfersInFlight()) return true;
  return metrics->TransfersInFlight();
}

template <typename Done>
void EventLoop::WaitForTransfers(int milliseconds, Done done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    int count = 0;
    int error = 0;
    platform::WaitStatus status = platform::WaitForCompletions(context.port, batch, kBatch, 20, &count, &error);
    if (status == platform::WaitStatus::PortClosed || status == platform::WaitStatus::Failed) break;
    for (int i = 0; i < count; ++i) Dispatch(batch[i]);
  }
}

void EventLoop::ShutDown(std::vector<platform::SocketHandle>& tcpHandles,
                         std::vector<platform::SocketHandle>& udpHandles) {
  // The accept threads stop first, so no connection arrives while the rest
  // is taken down; they are joined before their sockets close.
  acceptQueue.stopping.store(true, std::memory_order_relaxed);
  for (auto& thread : acceptThreads) thread->Stop();
  acceptThreads.clear();
  for (platform::SocketHandle& h : tcpHandles) h = platform::kInvalidSocket;
  metrics->Stop();
  // Closing the uTP connections queues their end-of-stream packets; they
  // leave before the UDP sockets close.
  for (Socket* s : context.sockets) s->Close();
  // The closed connections' unbinds leave, briefly awaited; a node that
  // cannot reach the engine now is covered by its heartbeat stopping.
  if (cluster != nullptr) {
    WaitForTransfers(200, [this] {
      cluster->RunPass(SteadyMilliseconds());
      return !cluster->CallsInFlight();
    });
    cluster->Stop();
  }
  for (auto& udp : udpSockets) {
    udp->BeginClosing();
    udp->sends.Flush();
  }
  WaitForTransfers(200, [this] {
    for (auto& udp : udpSockets)
      if (!udp->sends.chunks.empty() || udp->sends.Pending()) return false;
    return true;
  });
  for (platform::SocketHandle& h : udpHandles) {
    platform::CloseSocket(context.port, h);
    h = platform::kInvalidSocket;
  }
  // Until the transfers of closed objects have reported, so no object is
  // freed while the system may still write into it.
  WaitForTransfers(500, [this] { return !TransfersInFlight(); });
  // Whatever the system still owns after the wait stays allocated: leaking
  // at exit is safe, freeing memory a late completion writes is not.
  for (auto& udp : udpSockets)
    if (udp->TransfersInFlight()) static_cast<void>(udp.release());
  udpSockets.clear();
  context.sockets.SweepSockets(tracker.now);
  tracker.shared = nullptr;
  cluster.reset();
  metrics.reset();
  platform::CloseIoTag(context.readTag);
  platform::CloseIoTag(context.writeTag);
  platform::CloseIoPort(context.port);
  context.port = nullptr;
}

}  // namespace

bool RunEventLoop(Tracker& tracker, const std::atomic<std::int32_t>& stopFlag, const LoopOptions& options,
                  std::vector<platform::SocketHandle>& tcpHandles, std::vector<platform::SocketHandle>& udpHandles,
                  MetricsSetup& metrics, StartedHook onStarted) {
  EventLoop loop(tracker, options, metrics);
  if (!loop.SetUp(tcpHandles, udpHandles)) return false;
  if (onStarted != nullptr) onStarted();
  bool portWorks = true;
  while (portWorks && stopFlag.load(std::memory_order_relaxed) == 0) portWorks = loop.RunPass();
  loop.ShutDown(tcpHandles, udpHandles);
  return portWorks;
}

}  // namespace lattice
