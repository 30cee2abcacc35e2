#include "net/event_loop.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>

#include "log/log.h"
#include "log/loop_clock.h"
#include "net/admission.h"
#include "net/io_port_context.h"
#include "net/listening_sockets.h"
#include "net/metrics_server.h"
#include "net/tcp_socket.h"
#include "net/udp_socket.h"
#include "net/utp_binding.h"
#include "platform/process_control.h"
#include "tracker/message_framing.h"

namespace lattice {
namespace {

constexpr int kBatch = 1024;
constexpr int kWaitMs = 100;
// What a closing connection may still send us before it is cut off.
constexpr std::uint32_t kMaxDrainBytes = 256 * 1024;

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
  void Dispatch(const platform::Completion& c);
  void DispatchUdp(UdpSocket& udp, const platform::Completion& c);
  void TakeAcceptedConnections();
  void TakeAcceptedConnection(AcceptRecord* record);
  void DispatchTcp(const platform::Completion& c);
  void OnTcpReadable(TcpSocket& socket);
  void OnTcpSent(TcpSocket& socket, std::uint32_t bytes);
  // Handles the bytes just read (none: what waits in inbound); false when
  // reading is to stop (the peer broke the framing, or a reply is held).
  bool HandleInput(TcpSocket& socket, const std::uint8_t* data, std::size_t length);
  // Waits for more input unless a wait is outstanding or input is paused.
  void ReadOn(TcpSocket& socket);
  void FinishClosing(TcpSocket& socket);
  // At shutdown: completions only settle counts, and datagram sends go on.
  void SettleCompletion(const platform::Completion& c);
  bool TransfersInFlight();
  void WaitForTransfers(int milliseconds, bool untilSendQueuesEmpty);
  void DrainTransfers();

  IoPortContext context;
  Tracker& tracker;
  const LoopOptions& options;
  AcceptQueue acceptQueue;
  std::vector<std::unique_ptr<AcceptThread>> acceptThreads;
  std::map<platform::SocketHandle, std::unique_ptr<UdpSocket>> udpSockets;
  platform::Completion batch[kBatch];
  LogLimiter sendErrors;
  MetricsSetup& metricsSetup;
  // Made once the port exists; its connections live in context.sockets.
  std::unique_ptr<MetricsServer> metrics;
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
  for (platform::SocketHandle h : tcpHandles) acceptThreads.push_back(std::make_unique<AcceptThread>(h, context.port, acceptQueue));
  for (platform::SocketHandle h : udpHandles) udpSockets.emplace(h, std::make_unique<UdpSocket>(h, &context));
  metrics = std::make_unique<MetricsServer>(context, metricsSetup);
  return true;
}

bool EventLoop::RunPass() {
  const std::int64_t now = RefreshLoopClock();
  int count = 0;
  int error = 0;
  platform::WaitStatus status = platform::WaitForCompletions(context.port, batch, kBatch, kWaitMs, &count, &error);
  if (status == platform::WaitStatus::PortClosed) {
    Log("Completion port was unexpectedly closed");
    return false;
  }
  if (status == platform::WaitStatus::Failed) Log("Completion port error (%d)", error);
  // The pass's work, from here on, is what the pass-time histogram measures.
  const auto workStart = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i) Dispatch(batch[i]);
  if (acceptQueue.Waiting()) TakeAcceptedConnections();
  metrics->TakeAcceptedConnections();
  // Datagrams waiting are taken before the flush: the replies they bring
  // leave in this pass and carry the library's acknowledgements, which
  // would otherwise go out below as datagrams of their own.
  for (auto& [handle, udp] : udpSockets)
    if (!udp->recvPending) udp->PostReceive();
  context.sockets.FlushWantedSends();
  context.sockets.SweepIfManyClosed(now);
  if (SweepDue(now, context.lastSweep)) {
    context.sockets.SweepSockets(now);
    context.lastSweep = now;
  }
  for (auto& [handle, udp] : udpSockets) {
    RunUtpTimers(*udp);
    // A failed send leaves chunks with nothing in flight to wake the loop:
    // wake it so the next pass retries without waiting.
    if (FlushSendQueue(*udp) != 0 && !udp->sendPending) platform::PostCompletion(context.port, handle, 0, nullptr);
  }
  metrics->CloseExpired(now);
  tracker.stats.limitHits[kLimitDescriptors] = acceptQueue.refused.load(std::memory_order_relaxed);
  ReportStatistics(tracker.stats);
  const auto work = std::chrono::steady_clock::now() - workStart;
  tracker.stats.passTimes.Observe(
      static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(work).count()));
  return true;
}

void EventLoop::Dispatch(const platform::Completion& c) {
  // A wake-up: what it announces (accepted connections, datagrams left for
  // the next pass) is taken by the pass itself.
  if (c.record == nullptr) return;
  if ((c.key & kMetricsKeyBit) != 0) {
    metrics->Dispatch(c);
    return;
  }
  auto udp = udpSockets.find(c.key);
  if (udp != udpSockets.end()) {
    DispatchUdp(*udp->second, c);
    return;
  }
  DispatchTcp(c);
}

void EventLoop::DispatchUdp(UdpSocket& udp, const platform::Completion& c) {
  platform::IoTag tag = platform::TagOf(c.record);
  if (tag == context.readTag) {
    udp.OnReceiveCompleted(c.bytes);
  } else if (tag == context.writeTag) {
    OnSendCompleted(udp, c.bytes);
  }
}

void EventLoop::TakeAcceptedConnections() {
  while (AcceptRecord* record = acceptQueue.Pop()) TakeAcceptedConnection(record);
}

void EventLoop::TakeAcceptedConnection(AcceptRecord* record) {
  int error = 0;
  if (!platform::AttachSocket(context.port, record->handle, record->handle, &error)) {
    Log("Failed to assign IO completion port to TCP socket (%d)", error);
    platform::CloseSocket(nullptr, record->handle);
    delete record;
    return;
  }
  // Refused before any object exists, so a refused client costs nothing and
  // shows in no connection count.
  if (!context.admission.Admit(tracker, record->address)) {
    platform::CloseSocket(context.port, record->handle);
    delete record;
    return;
  }
  platform::DisableCoalescing(record->handle);
  auto* socket = new TcpSocket(record->handle, &context);
  socket->peerAddress = record->address;
  socket->admitted = true;
  delete record;
  // A connection that ends before its first receive is closed now rather
  // than holding its handle until it expires.
  if (!socket->PostReceive()) socket->Close();
}

void EventLoop::DispatchTcp(const platform::Completion& c) {
  // The record leads to its object even after Close, and even when the handle
  // number already belongs to a newer connection.
  auto* socket = static_cast<TcpSocket*>(platform::OwnerOf(c.record));
  socket->NoteCompletion();
  const bool isRead = platform::TagOf(c.record) == context.readTag;
  if (isRead) {
    socket->recvPending = false;
  } else {
    socket->sendPending = false;
  }
  if (socket->closed) return;
  if (isRead) {
    // The wait for input reports 0 bytes: the input is read now.
    OnTcpReadable(*socket);
  } else if (c.bytes == 0) {
    socket->Close();
  } else {
    OnTcpSent(*socket, c.bytes);
  }
}

void EventLoop::OnTcpReadable(TcpSocket& socket) {
  // Read until nothing is left, so an end of stream behind the data closes
  // the connection now, not a pass later; bounded, so one busy sender does
  // not hold up the rest.
  constexpr int kMaxReads = 8;
  std::vector<std::uint8_t>& buffer = context.receiveBuffer;
  for (int reads = 0; reads < kMaxReads; ++reads) {
    const std::int64_t bytes = socket.ReadAvailable(buffer.data(), static_cast<std::uint32_t>(buffer.size()));
    if (bytes < 0) {
      socket.Close();
      return;
    }
    if (bytes == 0) break;
    tracker.stats.bytesReceived[Tcp] += static_cast<std::uint64_t>(bytes);
    if (socket.draining) {
      socket.drainedBytes += static_cast<std::uint32_t>(bytes);
      if (socket.drainedBytes > kMaxDrainBytes) {
        socket.Close();
        return;
      }
    } else if (!HandleInput(socket, buffer.data(), static_cast<std::size_t>(bytes))) {
      return;
    }
  }
  ReadOn(socket);
}

void EventLoop::OnTcpSent(TcpSocket& socket, std::uint32_t bytes) {
  tracker.stats.bytesSent[Tcp] += bytes;
  socket.OnSendCompleted(bytes);
  if (socket.closeWhenSent) {
    if (socket.outbound.count == 0) {
      FinishClosing(socket);
      return;
    }
  } else if (InputPaused(socket) && ReleaseHeldReply(tracker, socket)) {
    // The held reply is in the ring: handle what waited behind it.
    if (HandleInput(socket, nullptr, 0)) ReadOn(socket);
    return;
  }
  if (!socket.PostSend()) {
    LogLimited(sendErrors, "TCP: error occured while writing data on socket %d", static_cast<int>(socket.handle));
    socket.Close();
  }
}

bool EventLoop::HandleInput(TcpSocket& socket, const std::uint8_t* data, std::size_t length) {
  if (!FrameReceived(tracker, socket, data, length)) {
    // Replies to the requests handled before the bad length still go out.
    socket.closeWhenSent = true;
    std::vector<std::uint8_t>().swap(socket.inbound);
    if (socket.outbound.count == 0) {
      FinishClosing(socket);
    } else if (!socket.PostSend()) {
      socket.Close();
    }
    return false;
  }
  if (socket.outbound.count != 0 && !socket.sendPending) context.sockets.WantSend(socket);
  // A held reply stops reading until it is in the ring: the client's further
  // requests wait in its own socket buffer, not in the tracker's memory.
  return !InputPaused(socket);
}

void EventLoop::ReadOn(TcpSocket& socket) {
  if (socket.recvPending) return;
  if (!socket.PostReceive()) socket.Close();
}

void EventLoop::FinishClosing(TcpSocket& socket) {
  platform::ShutdownSend(socket.handle);
  socket.draining = true;
  ReadOn(socket);
}

void EventLoop::SettleCompletion(const platform::Completion& c) {
  if (c.record == nullptr) return;
  if ((c.key & kMetricsKeyBit) != 0) {
    metrics->Settle(c);
    return;
  }
  auto udp = udpSockets.find(c.key);
  if (udp == udpSockets.end()) {
    static_cast<TcpSocket*>(platform::OwnerOf(c.record))->NoteCompletion();
    return;
  }
  UdpSocket& u = *udp->second;
  if (platform::TagOf(c.record) == context.readTag) {
    // A receive that finished at once still reports; only the last one
    // outstanding clears the pending mark.
    if (u.recvEarlyCount > 0) {
      --u.recvEarlyCount;
    } else {
      u.recvPending = false;
    }
  } else {
    OnSendCompleted(u, c.bytes);
    FlushSendQueue(u);
  }
}

bool EventLoop::TransfersInFlight() {
  for (auto& [h, udp] : udpSockets)
    if (udp->recvPending || udp->sendPending || udp->recvEarlyCount != 0 || udp->sendEarlyCount != 0) return true;
  for (Socket* s : context.sockets)
    if (s->TransfersInFlight() != 0) return true;
  return false;
}

// Waits a bounded time for the port: until every datagram queued at shutdown
// has left, or until every transfer has reported.
void EventLoop::WaitForTransfers(int milliseconds, bool untilSendQueuesEmpty) {
  auto done = [&] {
    if (!untilSendQueuesEmpty) return !TransfersInFlight();
    for (auto& [h, udp] : udpSockets)
      if (!udp->sendQueue.empty() || udp->sendPending) return false;
    return true;
  };
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    int count = 0;
    int error = 0;
    platform::WaitStatus status = platform::WaitForCompletions(context.port, batch, kBatch, 20, &count, &error);
    if (status == platform::WaitStatus::PortClosed || status == platform::WaitStatus::Failed) break;
    for (int i = 0; i < count; ++i) SettleCompletion(batch[i]);
  }
}

// Waits until the transfers of closed objects have reported, so no object is
// freed while the system may still write into it.
void EventLoop::DrainTransfers() { WaitForTransfers(500, false); }

void EventLoop::ShutDown(std::vector<platform::SocketHandle>& tcpHandles,
                         std::vector<platform::SocketHandle>& udpHandles) {
  // The accept threads stop first, so no connection arrives while the rest
  // is taken down; they are joined before their sockets close.
  acceptQueue.stopping.store(true, std::memory_order_relaxed);
  for (auto& thread : acceptThreads) thread->Stop();
  acceptThreads.clear();
  for (platform::SocketHandle& h : tcpHandles) h = platform::kInvalidSocket;
  metrics->StopAccepting();
  // Closing the uTP connections queues their end-of-stream packets; they
  // leave before the UDP sockets close.
  for (Socket* s : context.sockets) s->Close();
  for (auto& [handle, udp] : udpSockets) FlushSendQueue(*udp);
  WaitForTransfers(200, true);
  for (platform::SocketHandle& h : udpHandles) {
    platform::CloseSocket(context.port, h);
    h = platform::kInvalidSocket;
  }
  DrainTransfers();
  // Whatever the system still owns after the wait stays allocated: leaking
  // at exit is safe, freeing memory a late completion writes is not.
  for (auto it = udpSockets.begin(); it != udpSockets.end();) {
    UdpSocket& u = *it->second;
    if (u.recvPending || u.sendPending || u.recvEarlyCount != 0 || u.sendEarlyCount != 0) {
      static_cast<void>(it->second.release());
    }
    it = udpSockets.erase(it);
  }
  context.sockets.SweepSockets(LoopClock());
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
