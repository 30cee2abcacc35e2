#include "net/udp_socket.h"

#include "net/utp_binding.h"

namespace lattice {

UdpSocket::UdpSocket(std::uintptr_t handleValue, IoPortContext* loopContext)
    : Socket(handleValue, loopContext), sender(platform::StartSendTo), batchSender(platform::SendDatagrams) {
  platform::PrepareRecord(&recv.record, loop->readTag, this);
  platform::PrepareRecord(&send.record, loop->writeTag, this);
  utpContext = CreateUtpContext(*this);
}

UdpSocket::~UdpSocket() {
  DestroyUtpContext(utpContext);
  for (Chunk* chunk : sendQueue) FreeChunk(chunk);
  for (Chunk* chunk : spareChunks) FreeChunk(chunk);
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

bool UdpSocket::PostReceive() {
  if (recvPending) return false;
  // Datagrams keep arriving while earlier ones are handled, so the socket is
  // read in batches until one comes back short, and only then is a receive
  // started; one that completes at once means more came, and batching goes on.
  std::uint32_t taken = 0;
  while (taken < kMaxDatagramsPerPass) {
    const std::uint32_t batch = ReceiveBatch();
    taken += batch;
    if (batch == BatchRoom::kSlots) continue;
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
    Deliver(recv.buffer, r.bytes, recv.sourceAddress, recv.sourceAddressLength);
    ++taken;
  }
  // The rest waits for the next pass, which a wake-up makes sure comes.
  platform::PostCompletion(loop->port, handle, 0, nullptr);
  return true;
}

void UdpSocket::OnReceiveCompleted(std::uint32_t bytes) {
  if (recvEarlyCount > 0) {
    --recvEarlyCount;
    return;
  }
  recvPending = false;
  Deliver(recv.buffer, bytes, recv.sourceAddress, recv.sourceAddressLength);
}

}  // namespace lattice
