#include "net/udp_socket.h"

#include "log/log.h"
#include "net/socket_address.h"
#include "net/utp_binding.h"

namespace lattice {

UdpSocket::UdpSocket(platform::SocketHandle handleValue, IoPortContext* loopContext)
    : handle(handleValue), loop(loopContext), sends(loopContext->port, handleValue, &sendRecord, loopContext->tracker.stats) {
  PrepareOwnedRecord(&recvRecord, loop->readTag, this);
  PrepareOwnedRecord(&sendRecord, loop->writeTag, this);
  utpContext = CreateUtpContext(*this);
}

UdpSocket::~UdpSocket() { DestroyUtpContext(utpContext); }

void UdpSocket::OnCompletion(const platform::Completion& c) {
  if (platform::TagOf(c.record) == loop->readTag) {
    // A receive that finished at once was handled then; only the last one
    // outstanding clears the pending mark.
    if (recvEarlyCount > 0) {
      --recvEarlyCount;
      return;
    }
    recvPending = false;
    if (!closing) Deliver(recvBuffer, c.bytes, sourceAddress, sourceAddressLength);
    return;
  }
  sends.OnSendCompleted(c.bytes);
  if (closing) sends.Flush();
}

void UdpSocket::OnReceiveCompleted(std::uint32_t bytes) {
  platform::Completion c{};
  c.record = &recvRecord;
  c.bytes = bytes;
  OnCompletion(c);
}

void UdpSocket::Deliver(const std::uint8_t* data, std::uint32_t bytes, const void* address,
                        std::int32_t addressLength) {
  if (bytes == 0) return;
  loop->tracker.stats.bytesReceived[Udp] += bytes;
  if (AddressPort(address) == 0) return;
  ProcessDatagram(*this, data, bytes, address, addressLength);
}

std::uint32_t UdpSocket::ReceiveBatch() {
  if (!platform::CanBatchDatagrams()) return 0;
  if (batchRoom == nullptr) batchRoom = std::make_unique_for_overwrite<BatchRoom>();
  BatchRoom& room = *batchRoom;
  platform::DatagramSlot slots[BatchRoom::kSlots];
  for (std::uint32_t i = 0; i < BatchRoom::kSlots; ++i) {
    slots[i].data = room.buffers[i];
    slots[i].address = room.addresses[i];
    slots[i].length = sizeof room.buffers[0];
    slots[i].addressLength = sizeof room.addresses[0];
  }
  const platform::IoResult r = platform::ReceiveDatagrams(loop->port, handle, slots, BatchRoom::kSlots);
  if (r.status != platform::IoStatus::CompletedAtOnce) return 0;
  // A datagram larger than a slot cannot be: a slot holds the largest there is.
  for (std::uint32_t i = 0; i < r.bytes; ++i) {
    if (!slots[i].truncated) Deliver(room.buffers[i], slots[i].length, room.addresses[i], slots[i].addressLength);
  }
  return r.bytes;
}

void UdpSocket::ReceiveMore() {
  if (recvPending || closing) return;
  // Datagrams keep arriving while earlier ones are handled, so the socket is
  // read in batches until one comes back short, and only then is a receive
  // started; one that completes at once means more came, and batching goes on.
  const std::uint32_t limit = platform::CanBatchDatagrams() ? kMaxDatagramsPerPass : kMaxSingleReadsPerPass;
  std::uint32_t taken = 0;
  while (taken < limit) {
    const std::uint32_t batch = ReceiveBatch();
    taken += batch;
    if (batch == BatchRoom::kSlots) continue;
    sourceAddressLength = sizeof sourceAddress;
    platform::IoResult r = platform::StartReceiveFrom(loop->port, handle, &recvRecord, recvBuffer, kBufferSize,
                                                      sourceAddress, &sourceAddressLength);
    if (r.status == platform::IoStatus::Pending) {
      recvPending = true;
      return;
    }
    if (r.status == platform::IoStatus::Failed) {
      // Nothing is left to wake the loop for this socket: the next pass, at
      // most one wait later, tries again.
      LogLimited(receiveErrorLines, "UDP: receive failed on socket %d (%d)", static_cast<int>(handle), r.error);
      return;
    }
    // Handled now; its notification still comes through the port and is
    // skipped by OnCompletion.
    ++recvEarlyCount;
    Deliver(recvBuffer, r.bytes, sourceAddress, sourceAddressLength);
    ++taken;
  }
  // The rest waits for the next pass, which a wake-up makes sure comes.
  platform::PostCompletion(loop->port, handle, 0, nullptr);
}

void UdpSocket::RunTimers() {
  RunUtpTimers(*this);
  // A failed send leaves chunks with nothing in flight to wake the loop:
  // wake it so the next pass retries without waiting.
  if (sends.Flush() != 0 && !sends.Pending()) platform::PostCompletion(loop->port, handle, 0, nullptr);
}

}  // namespace lattice
