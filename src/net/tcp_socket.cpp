#include "net/tcp_socket.h"

#include "log/log.h"
#include "log/loop_clock.h"
#include "net/admission.h"

namespace lattice {

TcpSocket::TcpSocket(std::uintptr_t handleValue, IoPortContext* loopContext) : Socket(handleValue, loopContext) {
  loop->sockets.Add(this);
  platform::PrepareRecord(&recv, loop->readTag, this);
  platform::PrepareRecord(&send.record, loop->writeTag, this);
  ++loop->tracker.stats.active[Tcp];
  loop->tracker.stats.CountRegistered(Tcp);
}

TcpSocket::~TcpSocket() {
  --loop->tracker.stats.active[Tcp];
  loop->tracker.stats.CountUnregistered(Tcp);
}

namespace {

void LogReadError(const TcpSocket& socket, int error) {
  static LogLimiter readErrorLines;  // a client can provoke these at will
  LogLimited(readErrorLines, "TCP: error %d (%s) occurred while reading data on socket %d. connection [%p]", error,
             platform::ErrorText(error), static_cast<int>(socket.handle), static_cast<const void*>(&socket));
}

}  // namespace

bool TcpSocket::PostReceive() {
  platform::IoResult r = platform::StartReceive(loop->port, handle, &recv, nullptr, 0);
  if (r.status == platform::IoStatus::Failed) {
    LogReadError(*this, r.error);
    return false;
  }
  ++transfersInFlight;
  recvPending = true;
  return true;
}

std::int64_t TcpSocket::ReadAvailable(std::uint8_t* buffer, std::uint32_t size) {
  platform::IoResult r = platform::ReceiveAvailable(loop->port, handle, buffer, size);
  if (r.status == platform::IoStatus::Pending) return 0;
  if (r.status == platform::IoStatus::Failed) {
    LogReadError(*this, r.error);
    return -1;
  }
  if (r.bytes == 0) return -1;  // the peer ended the stream
  lastActivity = LoopClock();
  return r.bytes;
}

bool TcpSocket::PostSend() {
  if (sendPending || outbound.count == 0) return true;
  platform::IoResult r = platform::StartSend(loop->port, handle, &send.record, outbound.ContiguousData(),
                                             static_cast<std::uint32_t>(outbound.ContiguousSize()));
  if (r.status == platform::IoStatus::Failed) return false;
  // The ring is released when the completion arrives, also for a send that
  // finished at once.
  outbound.Lend();
  ++transfersInFlight;
  sendPending = true;
  return true;
}

void TcpSocket::OnSendCompleted(std::uint32_t bytes) {
  sendPending = false;
  outbound.Consume(bytes);
  outbound.Return();
}

bool TcpSocket::Send(const void* data, std::size_t length) {
  if (!Queue(data, length)) return false;
  if (!sendPending) loop->sockets.WantSend(*this);
  return true;
}

void TcpSocket::StartSending() {
  if (!PostSend()) Close();
}

void TcpSocket::Close() {
  // A second close would close a handle number the system may have reused.
  if (closed) return;
  closed = true;
  ReleaseConnection(*this);
  loop->sockets.NoteClosed();
  platform::CancelTransfer(loop->port, handle, &recv);
  if (handle != kNoHandle) platform::CloseSocket(loop->port, handle);
  loop->tracker.registry.UnbindConnection(*this);
}

}  // namespace lattice
