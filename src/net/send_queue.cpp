#include "net/send_queue.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "log/log.h"
#include "net/udp_socket.h"

namespace lattice {
namespace {

// Blocks that hold a datagram of the usual path MTU are kept for reuse, so a
// busy socket allocates none per datagram; a bounded number, so a burst
// leaves no lasting memory behind.
constexpr std::uint32_t kPooledRoom = 1536;
constexpr std::size_t kMaxSpareChunks = 256;

Chunk* TakeChunk(UdpSocket& socket, std::size_t length) {
  if (length <= kPooledRoom && !socket.spareChunks.empty()) {
    Chunk* chunk = socket.spareChunks.back();
    socket.spareChunks.pop_back();
    return chunk;
  }
  const std::size_t room = length <= kPooledRoom ? kPooledRoom : length;
  auto* chunk = static_cast<Chunk*>(std::malloc(sizeof(Chunk) + room));
  if (chunk != nullptr) chunk->room = static_cast<std::uint32_t>(room);
  return chunk;
}

void DropFront(UdpSocket& socket) {
  Chunk* chunk = socket.sendQueue.front();
  socket.sendQueue.pop_front();
  if (chunk->room == kPooledRoom && socket.spareChunks.size() < kMaxSpareChunks) {
    socket.spareChunks.push_back(chunk);
  } else {
    FreeChunk(chunk);
  }
}

// Adds a reported byte count to the front chunk and drops it once it has left
// whole, or when the count is 0 (nothing more will leave for it).
void AccountFront(UdpSocket& socket, std::uint32_t bytes) {
  Chunk* front = socket.sendQueue.front();
  socket.loop->tracker.stats.bytesSent[Udp] += bytes;
  front->sent += bytes;
  if (bytes == 0 || front->sent >= front->length) DropFront(socket);
}

// Sends the front of the queue many datagrams to a call while the system
// takes them all at once; what it does not take goes one at a time after.
void SendBatches(UdpSocket& socket) {
  auto& queue = socket.sendQueue;
  platform::DatagramSlot slots[platform::kMaxDatagramBatch];
  while (!queue.empty()) {
    std::uint32_t count = 0;
    for (; count < platform::kMaxDatagramBatch && count < queue.size(); ++count) {
      Chunk* chunk = queue[count];
      if (chunk->sent != 0 || chunk->length == 0 || chunk->addressLength == 0) break;
      slots[count].data = chunk->Data();
      slots[count].length = static_cast<std::uint32_t>(chunk->length);
      slots[count].address = chunk->address;
      slots[count].addressLength = static_cast<std::int32_t>(chunk->addressLength);
    }
    if (count == 0) return;
    const platform::IoResult r = socket.batchSender(socket.loop->port, socket.handle, slots, count);
    if (r.status != platform::IoStatus::CompletedAtOnce) return;
    for (std::uint32_t i = 0; i < r.bytes; ++i) AccountFront(socket, slots[i].length);
    if (r.bytes < count) return;
  }
}

}  // namespace

void FreeChunk(Chunk* chunk) { std::free(chunk); }

void EnqueueChunk(UdpSocket& socket, const void* data, std::size_t length, const void* address,
                  std::uint32_t addressLength) {
  if (length == 0 || addressLength == 0) return;
  if (static_cast<std::int32_t>(addressLength) < 0 || addressLength > 128) {
    Log("%s() addrLen is too large: %u (max allowed %lu)", "EnqueueChunk", addressLength, 128ul);
    return;
  }
  Chunk* chunk = TakeChunk(socket, length);
  if (chunk == nullptr) {
    Log("Error: %s() failed to allocate memory for chunk", "EnqueueChunk");
    return;
  }
  chunk->sent = 0;
  chunk->length = length;
  chunk->addressLength = addressLength;
  std::memcpy(chunk->Data(), data, length);
  std::memcpy(chunk->address, address, addressLength);
  socket.sendQueue.push_back(chunk);
}

std::uint32_t FlushSendQueue(UdpSocket& socket) {
  auto& queue = socket.sendQueue;
  if (socket.sendPending) return static_cast<std::uint32_t>(queue.size());
  SendBatches(socket);
  while (!queue.empty()) {
    Chunk* front = queue.front();
    if (front->length == 0 || front->addressLength == 0) {
      DropFront(socket);
      continue;
    }
    platform::IoResult r =
        socket.sender(socket.loop->port, socket.handle, &socket.send.record, front->Data() + front->sent,
                      static_cast<std::uint32_t>(front->length - front->sent), front->address,
                      static_cast<std::int32_t>(front->addressLength));
    if (r.status == platform::IoStatus::CompletedAtOnce) {
      // Its notification still comes through the port and is skipped then.
      ++socket.sendEarlyCount;
      AccountFront(socket, r.bytes);
      socket.sendPending = false;
      continue;
    }
    if (r.status == platform::IoStatus::Pending) {
      socket.sendPending = true;
      return static_cast<std::uint32_t>(queue.size());
    }
    // A remote address that refuses datagrams can make every send fail.
    static LogLimiter sendErrorLines;
    LogLimited(sendErrorLines, "WSASendTo() failed (%d)", r.error);
    DropFront(socket);
    return static_cast<std::uint32_t>(queue.size());
  }
  return 0;
}

void OnSendCompleted(UdpSocket& socket, std::uint32_t bytes) {
  if (socket.sendEarlyCount > 0) {
    --socket.sendEarlyCount;
    return;
  }
  if (!socket.sendQueue.empty()) AccountFront(socket, bytes);
  socket.sendPending = false;
}

}  // namespace lattice
