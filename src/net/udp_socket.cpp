#include "net/udp_socket.h"

#include "net/utp_binding.h"

namespace lattice {

UdpSocket::UdpSocket(std::uintptr_t handleValue, IoPortContext* loopContext)
    : Socket(handleValue, loopContext), sender(platform::StartSendTo) {
  platform::PrepareRecord(&recv.record, loop->readTag, this);
  platform::PrepareRecord(&send.record, loop->writeTag, this);
  utpContext = CreateUtpContext(*this);
}

UdpSocket::~UdpSocket() {
  DestroyUtpContext(utpContext);
  for (Chunk* chunk : sendQueue) FreeChunk(chunk);
  for (Chunk* chunk : spareChunks) FreeChunk(chunk);
}

void UdpSocket::Deliver(std::uint32_t bytes) {
  if (bytes == 0) return;
  loop->tracker.stats.bytesReceived[Udp] += bytes;
  if (AddressPort(recv.sourceAddress) == 0) return;
  ProcessDatagram(*this, recv.buffer, bytes, recv.sourceAddress, recv.sourceAddressLength);
}

bool UdpSocket::PostReceive() {
  if (recvPending) return false;
  for (int i = 0; i < 100; ++i) {
    recv.sourceAddressLength = sizeof recv.sourceAddress;
    platform::IoResult r = platform::StartReceiveFrom(loop->port, handle, &recv.record, recv.buffer, RecvRecord::kBufferSize,
                                                      recv.sourceAddress, &recv.sourceAddressLength);
    if (r.status == platform::IoStatus::Pending) {
      recvPending = true;
      return true;
    }
    if (r.status == platform::IoStatus::Failed) return false;
    // Handled now; its notification still comes through the port and is
    // skipped by OnReceiveCompleted.
    ++recvEarlyCount;
    recvPending = false;
    Deliver(r.bytes);
  }
  return true;
}

void UdpSocket::OnReceiveCompleted(std::uint32_t bytes) {
  if (recvEarlyCount > 0) {
    --recvEarlyCount;
    return;
  }
  recvPending = false;
  Deliver(bytes);
}

}  // namespace lattice
