#include "net/event_loop.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>

#include "log/log.h"
#include "log/loop_clock.h"
#include "net/io_port_context.h"
#include "net/listening_sockets.h"
#include "net/run_flags.h"
#include "net/socket_list.h"
#include "net/tcp_socket.h"
#include "net/udp_socket.h"
#include "net/utp_binding.h"
#include "platform/process_control.h"
#include "tracker/message_framing.h"
#include "tracker/tracker_stats.h"

namespace lattice {
namespace {

constexpr int kBatch = 128;
constexpr int kWaitMs = 100;

class EventLoop {
 public:
  bool SetUp(const std::vector<platform::SocketHandle>& tcpHandles,
             const std::vector<platform::SocketHandle>& udpHandles);
  // One pass; false when the port was found closed.
  bool RunPass();
  void ShutDown(std::vector<platform::SocketHandle>& udpHandles);

 private:
  void Dispatch(const platform::Completion& c);
  void DispatchUdp(UdpSocket& udp, const platform::Completion& c);
  void TakeAcceptedConnection();
  void DispatchTcp(const platform::Completion& c);
  void DrainTransfers();

  IoPortContext context;
  std::shared_ptr<AcceptDataStorage> storage;
  std::vector<std::shared_ptr<TcpConnectionData>> listeners;
  std::map<platform::SocketHandle, std::unique_ptr<UdpSocket>> udpSockets;
  platform::Completion batch[kBatch];
};

std::int64_t lastSweep = 0;

bool EventLoop::SetUp(const std::vector<platform::SocketHandle>& tcpHandles,
                      const std::vector<platform::SocketHandle>& udpHandles) {
  platform::InstallStopHandler(&stopFlag);
  int error = 0;
  context.port = platform::CreateIoPort(&error);
  if (context.port == nullptr) {
    Log("Failed to create IO completion port (%d)", error);
    return false;
  }
  for (platform::SocketHandle h : udpHandles) {
    if (!platform::AttachSocket(context.port, h, h, &error)) {
      Log("Failed to assign IO completion port to UDP socket (%d)", error);
      platform::CloseIoPort(context.port);
      context.port = nullptr;
      return false;
    }
  }
  if (SocketList().capacity() < 200000) SocketList().reserve(200000);
  context.readTag = platform::CreateIoTag();
  context.writeTag = platform::CreateIoTag();
  storage = std::make_shared<AcceptDataStorage>();
  for (platform::SocketHandle h : tcpHandles) {
    auto data = std::make_shared<TcpConnectionData>();
    data->handle = h;
    data->socket = std::make_unique<TcpListeningSocket>(h, &context);
    data->acceptThread = std::thread(AcceptLoop, h, context.port, storage);
    data->acceptThread.detach();
    listeners.push_back(std::move(data));
  }
  for (platform::SocketHandle h : udpHandles) udpSockets.emplace(h, std::make_unique<UdpSocket>(h, &context));
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
  for (int i = 0; i < count; ++i) Dispatch(batch[i]);

  for (auto& [handle, udp] : udpSockets)
    if (!udp->recvPending) udp->PostReceive();
  if (SweepDue(now, lastSweep)) {
    SweepSockets(now);
    lastSweep = now;
  }
  for (auto& [handle, udp] : udpSockets) {
    RunUtpTimers(*udp);
    // A failed send leaves chunks with nothing in flight to wake the loop:
    // wake it so the next pass retries without waiting.
    if (FlushSendQueue(*udp) != 0 && !udp->sendPending) platform::PostCompletion(context.port, handle, 0, nullptr);
  }
  ReportStatistics();
  return true;
}

void EventLoop::Dispatch(const platform::Completion& c) {
  auto udp = udpSockets.find(c.key);
  if (udp != udpSockets.end()) {
    DispatchUdp(*udp->second, c);
    return;
  }
  for (const auto& listener : listeners) {
    if (listener->handle == c.key) {
      TakeAcceptedConnection();
      return;
    }
  }
  DispatchTcp(c);
}

void EventLoop::DispatchUdp(UdpSocket& udp, const platform::Completion& c) {
  if (c.record == nullptr) return;  // a wake-up
  platform::IoTag tag = platform::TagOf(c.record);
  if (tag == context.readTag) {
    udp.OnReceiveCompleted(c.bytes);
  } else if (tag == context.writeTag) {
    OnSendCompleted(udp, c.bytes);
  }
}

void EventLoop::TakeAcceptedConnection() {
  AcceptRecord* record = storage->Pop();
  if (record == nullptr) return;
  int error = 0;
  if (!platform::AttachSocket(context.port, record->handle, record->handle, &error)) {
    Log("Failed to assign IO completion port to TCP socket (%d)", error);
    platform::CloseSocket(record->handle);
    delete record;
    return;
  }
  platform::DisableCoalescing(record->handle);
  auto* socket = new TcpSocket(record->handle, &context);
  socket->peerAddress = record->address;
  delete record;
  // A connection that ends before its first receive is closed now rather
  // than holding its handle until it expires.
  if (!socket->PostReceive()) socket->Close();
}

void EventLoop::DispatchTcp(const platform::Completion& c) {
  if (c.key == 0 || c.record == nullptr) return;
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
  if (c.bytes == 0) {
    socket->Close();
    return;
  }
  if (isRead) {
    socket->OnReceiveCompleted(c.bytes);
    if (!FrameMessages(*socket)) {
      // Replies to the requests handled before the bad length still go out.
      socket->closeWhenSent = true;
      socket->inbound.clear();
      if (socket->outbound.count == 0 || !socket->PostSend()) socket->Close();
      return;
    }
    socket->PostSend();
    if (!socket->PostReceive()) socket->Close();
  } else {
    socket->OnSendCompleted(c.bytes);
    if (socket->closeWhenSent && socket->outbound.count == 0) {
      socket->Close();
      return;
    }
    if (!socket->PostSend()) {
      Log("TCP: error occured while writing data on socket %d", static_cast<int>(socket->handle));
      socket->Close();
    }
  }
}

// Waits, for a bounded time, until the transfers of closed objects have
// reported, so no object is freed while the system may still write into it.
void EventLoop::DrainTransfers() {
  auto inFlight = [this] {
    for (auto& [h, udp] : udpSockets)
      if (udp->recvPending || udp->sendPending) return true;
    for (Socket* s : SocketList())
      if (s->TransfersInFlight() != 0) return true;
    return false;
  };
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
  while (inFlight() && std::chrono::steady_clock::now() < deadline) {
    int count = 0;
    int error = 0;
    platform::WaitStatus status = platform::WaitForCompletions(context.port, batch, kBatch, 20, &count, &error);
    if (status == platform::WaitStatus::PortClosed || status == platform::WaitStatus::Failed) break;
    for (int i = 0; i < count; ++i) {
      const platform::Completion& c = batch[i];
      auto udp = udpSockets.find(c.key);
      if (udp != udpSockets.end()) {
        if (c.record != nullptr && platform::TagOf(c.record) == context.readTag) udp->second->recvPending = false;
        if (c.record != nullptr && platform::TagOf(c.record) == context.writeTag) udp->second->sendPending = false;
      } else if (c.record != nullptr) {
        static_cast<TcpSocket*>(platform::OwnerOf(c.record))->NoteCompletion();
      }
    }
  }
}

void EventLoop::ShutDown(std::vector<platform::SocketHandle>& udpHandles) {
  for (auto& listener : listeners) listener->socket->Close();
  listeners.clear();
  // Connections are closed and their UDP sockets shut before any object is
  // freed: closing aborts the outstanding transfers, which then report.
  for (Socket* s : SocketList()) s->Close();
  for (platform::SocketHandle& h : udpHandles) {
    platform::CloseSocket(h);
    h = platform::kInvalidSocket;
  }
  DrainTransfers();
  udpSockets.clear();
  SweepSockets(LoopClock());
  platform::CloseIoTag(context.readTag);
  platform::CloseIoTag(context.writeTag);
  platform::CloseIoPort(context.port);
  context.port = nullptr;
  storage.reset();
}

}  // namespace

void RunEventLoop(const std::vector<platform::SocketHandle>& tcpHandles,
                  std::vector<platform::SocketHandle>& udpHandles, StartedHook onStarted) {
  EventLoop loop;
  if (!loop.SetUp(tcpHandles, udpHandles)) return;
  if (onStarted != nullptr) onStarted();
  while (stopFlag.load(std::memory_order_relaxed) == 0) {
    if (!loop.RunPass()) break;
  }
  loop.ShutDown(udpHandles);
}

}  // namespace lattice
