#include "net/engine_link.h"

#include <algorithm>
#include <limits>

#include "platform/socket_api.h"

namespace lattice {
namespace {

// Reads per readable completion, so one chatty node does not hold up the pass.
constexpr int kMaxReads = 8;
constexpr std::size_t kMaxSend = std::numeric_limits<std::uint32_t>::max() / 2;
// Room a drained send buffer keeps; what a burst grew it to beyond that is
// given back, not held for the life of the link.
constexpr std::size_t kKeptSendRoom = 64 * 1024;

}  // namespace

EngineLink::EngineLink(platform::SocketHandle handleValue, IoPortContext& loopContext, EngineLinkListener* linkListener)
    : handle(handleValue), loop(loopContext), listener(linkListener) {
  PrepareOwnedRecord(&recv, loop.readTag, this);
  PrepareOwnedRecord(&send, loop.writeTag, this);
  int error = 0;
  if (!platform::AttachSocket(loop.port, handle, handle, &error)) {
    platform::CloseSocket(nullptr, handle);
    closed = true;
    return;
  }
  // Requests are whole commands; waiting to coalesce them only adds latency.
  platform::DisableCoalescing(handle);
  if (!PostReceive()) Close();
}

EngineLink::~EngineLink() { Close(); }

void EngineLink::OnCompletion(const platform::Completion& c) {
  --transfersInFlight;
  const bool isRead = platform::TagOf(c.record) == loop.readTag;
  (isRead ? recvPending : sendPending) = false;
  if (closed) return;
  if (isRead) {
    OnReadable();
    return;
  }
  if (c.bytes == 0) {
    Fail();
    return;
  }
  sendOffset += c.bytes;
  if (sendOffset >= sending.size()) {
    sending.clear();
    sendOffset = 0;
    if (sending.capacity() > kKeptSendRoom) std::string().swap(sending);
  }
  if (!PostSend()) Fail();
}

void EngineLink::OnReadable() {
  std::vector<std::uint8_t>& buffer = loop.receiveBuffer;
  bool ended = false;
  for (int reads = 0; reads < kMaxReads && !ended; ++reads) {
    const std::uint8_t* data = nullptr;
    platform::IoResult r = platform::ReceiveInPlace(loop.port, handle, buffer.data(),
                                                    static_cast<std::uint32_t>(buffer.size()), &data);
    if (r.status == platform::IoStatus::Pending) break;
    ended = r.status == platform::IoStatus::Failed || r.bytes == 0;
    if (ended) break;
    listener->OnLinkBytes(data, r.bytes);
    platform::ReleaseReceived(loop.port, handle);
  }
  // Replies that came before an end of stream are still answers.
  listener->OnLinkReadDone();
  if (closed) return;
  if (ended || (!recvPending && !PostReceive())) Fail();
}

bool EngineLink::PostReceive() {
  platform::IoResult r = platform::StartReceive(loop.port, handle, &recv, nullptr, 0);
  if (r.status == platform::IoStatus::Failed) return false;
  ++transfersInFlight;
  recvPending = true;
  return true;
}

bool EngineLink::Send(const char* data, std::size_t length) {
  if (closed) return false;
  queued.append(data, length);
  if (PostSend()) return true;
  Close();
  return false;
}

bool EngineLink::PostSend() {
  if (sendPending) return true;
  if (sending.empty()) {
    if (queued.empty()) return true;
    sending.swap(queued);
    sendOffset = 0;
  }
  const std::size_t length = std::min(sending.size() - sendOffset, kMaxSend);
  platform::IoResult r = platform::StartSend(loop.port, handle, &send, sending.data() + sendOffset,
                                             static_cast<std::uint32_t>(length));
  if (r.status == platform::IoStatus::Failed) return false;
  ++transfersInFlight;
  sendPending = true;
  return true;
}

void EngineLink::Fail() {
  Close();
  listener->OnLinkBroken();
}

void EngineLink::Close() {
  if (closed) return;
  closed = true;
  platform::CancelTransfer(loop.port, handle, &recv);
  platform::CloseSocket(loop.port, handle);
}

}  // namespace lattice
