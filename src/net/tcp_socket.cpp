#include "net/tcp_socket.h"

#include "log/log.h"
#include "net/admission.h"
#include "platform/socket_api.h"
#include "tracker/input_pump.h"
#include "tracker/message_framing.h"

namespace lattice {
namespace {

// What a closing connection may still send us before it is cut off.
constexpr std::uint32_t kMaxDrainBytes = 256 * 1024;
// Reads per readable completion: enough to see an end of stream behind the
// data now rather than a pass later, bounded so one busy sender does not
// hold up the rest.
constexpr int kMaxReads = 8;

}  // namespace

TcpSocket::TcpSocket(platform::SocketHandle handleValue, const CompactAddress& address, IoPortContext* loopContext)
    : Socket(loopContext), handle(handleValue) {
  peerAddress = address;
  admitted = true;  // made only once admitted
  loop->sockets.Add(this);
  PrepareOwnedRecord(&recv, loop->readTag, this);
  PrepareOwnedRecord(&send, loop->writeTag, this);
  ++loop->tracker.stats.active[Tcp];
  loop->tracker.stats.CountRegistered(Tcp);
  // A connection that ends before its first receive is closed now rather
  // than holding its handle until it expires.
  if (!PostReceive()) Close();
}

TcpSocket::~TcpSocket() {
  --loop->tracker.stats.active[Tcp];
  loop->tracker.stats.CountUnregistered(Tcp);
}

void TcpSocket::OnCompletion(const platform::Completion& c) {
  // The record leads here even after Close, and even when the handle number
  // already belongs to a newer connection.
  --transfersInFlight;
  const bool isRead = platform::TagOf(c.record) == loop->readTag;
  if (isRead) {
    recvPending = false;
  } else {
    sendPending = false;
  }
  if (closed) return;
  if (isRead) {
    // The wait for input reports 0 bytes: the input is read now.
    OnReadable();
  } else if (c.bytes == 0) {
    Close();
  } else {
    OnSent(c.bytes);
  }
}

void TcpSocket::OnReadable() {
  std::vector<std::uint8_t>& buffer = loop->receiveBuffer;
  for (int reads = 0; reads < kMaxReads; ++reads) {
    const std::uint8_t* data = nullptr;
    const std::int64_t bytes = ReadAvailable(buffer.data(), static_cast<std::uint32_t>(buffer.size()), &data);
    if (bytes < 0) {
      Close();
      return;
    }
    if (bytes == 0) break;
    loop->tracker.stats.bytesReceived[Tcp] += static_cast<std::uint64_t>(bytes);
    if (draining) {
      platform::ReleaseReceived(loop->port, handle);
      drainedBytes += static_cast<std::uint32_t>(bytes);
      if (drainedBytes > kMaxDrainBytes) {
        Close();
        return;
      }
      continue;
    }
    // Parsed where the port left it; whatever is kept (a message cut short)
    // the pump copies into inbound, so the bytes go back before anything else.
    const InputState state = PumpInput(loop->tracker, *this, data, static_cast<std::size_t>(bytes));
    platform::ReleaseReceived(loop->port, handle);
    if (!Follow(state)) return;
  }
  ReadOn();
}

void TcpSocket::OnSent(std::uint32_t bytes) {
  loop->tracker.stats.bytesSent[Tcp] += bytes;
  outbound.Consume(bytes, &loop->blocks);
  outbound.Return(&loop->blocks);
  if (closeWhenSent) {
    if (outbound.count == 0) {
      FinishClosing();
      return;
    }
  } else if (InputPaused(*this)) {
    // Room was made: the held reply goes in and what waited behind it is
    // handled; reading resumes once nothing is held.
    ResumeInput();
    if (closed || closeWhenSent) return;
  }
  if (!PostSend()) {
    LogLimited(loop->tcpSendErrorLines, "TCP: error occured while writing data on socket %d", static_cast<int>(handle));
    Close();
  }
}

bool TcpSocket::Follow(InputState state) {
  if (state == InputState::Reading) return true;
  if (state == InputState::Broken) {
    // Replies to the requests handled before the bad length still go out.
    closeWhenSent = true;
    std::vector<std::uint8_t>().swap(inbound);
    if (outbound.count == 0) {
      FinishClosing();
    } else if (!PostSend()) {
      Close();
    }
  }
  // A held reply stops reading until it is in the ring: the client's further
  // requests wait in its own socket buffer, not in the tracker's memory.
  return false;
}

void TcpSocket::ResumeInput() {
  if (closed || closeWhenSent) return;
  if (Follow(OnOutputRoom(loop->tracker, *this))) ReadOn();
}

void TcpSocket::ReadOn() {
  if (recvPending) return;
  if (!PostReceive()) Close();
}

void TcpSocket::FinishClosing() {
  platform::ShutdownSend(handle);
  draining = true;
  ReadOn();
}

namespace {

void LogReadError(const TcpSocket& socket, int error) {
  LogLimited(socket.loop->tcpReadErrorLines, "TCP: error %d (%s) occurred while reading data on socket %d. connection [%p]", error,
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

std::int64_t TcpSocket::ReadAvailable(std::uint8_t* buffer, std::uint32_t size, const std::uint8_t** data) {
  platform::IoResult r = platform::ReceiveInPlace(loop->port, handle, buffer, size, data);
  if (r.status == platform::IoStatus::Pending) return 0;
  if (r.status == platform::IoStatus::Failed) {
    LogReadError(*this, r.error);
    return -1;
  }
  if (r.bytes == 0) return -1;  // the peer ended the stream
  lastActivity = loop->tracker.now;
  return r.bytes;
}

bool TcpSocket::PostSend() {
  if (sendPending || outbound.count == 0) return true;
  platform::IoResult r = platform::StartSend(loop->port, handle, &send, outbound.ContiguousData(),
                                             static_cast<std::uint32_t>(outbound.ContiguousSize()));
  if (r.status == platform::IoStatus::Failed) return false;
  // The ring is released when the completion arrives, also for a send that
  // finished at once.
  outbound.Lend();
  ++transfersInFlight;
  sendPending = true;
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
  platform::CloseSocket(loop->port, handle);
  UnbindClosingConnection(loop->tracker, *this);
}

}  // namespace lattice
