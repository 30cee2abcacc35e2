#include "net/send_queue.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "log/log.h"
#include "tracker/connection.h"
#include "tracker/tracker_stats.h"

namespace lattice {
namespace {

// Blocks that hold a datagram of the usual path MTU are kept for reuse, so a
// busy socket allocates none per datagram; a bounded number, so a burst
// leaves no lasting memory behind.
constexpr std::uint32_t kPooledRoom = 1536;
constexpr std::size_t kMaxSpareChunks = 256;

}  // namespace

void FreeChunk(Chunk* chunk) { std::free(chunk); }

DatagramQueue::DatagramQueue(platform::IoPort* loopPort, platform::SocketHandle socket, platform::IoRecord* sendRecord,
                             TrackerStats& trackerStats)
    : port(loopPort), handle(socket), record(sendRecord), stats(trackerStats) {}

DatagramQueue::~DatagramQueue() {
  for (Chunk* chunk : chunks) FreeChunk(chunk);
  for (Chunk* chunk : spareChunks) FreeChunk(chunk);
}

Chunk* DatagramQueue::TakeChunk(std::size_t length) {
  if (length <= kPooledRoom && !spareChunks.empty()) {
    Chunk* chunk = spareChunks.back();
    spareChunks.pop_back();
    return chunk;
  }
  const std::size_t room = length <= kPooledRoom ? kPooledRoom : length;
  auto* chunk = static_cast<Chunk*>(std::malloc(sizeof(Chunk) + room));
  if (chunk != nullptr) chunk->room = static_cast<std::uint32_t>(room);
  return chunk;
}

void DatagramQueue::DropFront() {
  Chunk* chunk = chunks.front();
  chunks.pop_front();
  if (chunk->room == kPooledRoom && spareChunks.size() < kMaxSpareChunks) {
    spareChunks.push_back(chunk);
  } else {
    FreeChunk(chunk);
  }
}

// Adds a reported byte count to the front chunk and drops it once it has left
// whole, or when the count is 0 (nothing more will leave for it).
void DatagramQueue::AccountFront(std::uint32_t bytes) {
  Chunk* front = chunks.front();
  stats.bytesSent[Udp] += bytes;
  front->sent += bytes;
  if (bytes == 0 || front->sent >= front->length) DropFront();
}

// Sends the front of the queue many datagrams to a call while the system
// takes them all at once; what it does not take goes one at a time after.
void DatagramQueue::SendBatches() {
  platform::DatagramSlot slots[platform::kMaxDatagramBatch];
  while (!chunks.empty()) {
    std::uint32_t count = 0;
    for (; count < platform::kMaxDatagramBatch && count < chunks.size(); ++count) {
      Chunk* chunk = chunks[count];
      if (chunk->sent != 0 || chunk->length == 0 || chunk->addressLength == 0) break;
      slots[count].data = chunk->Data();
      slots[count].length = static_cast<std::uint32_t>(chunk->length);
      slots[count].address = chunk->address;
      slots[count].addressLength = static_cast<std::int32_t>(chunk->addressLength);
    }
    if (count == 0) return;
    const platform::IoResult r = batchSender(port, handle, slots, count);
    if (r.status != platform::IoStatus::CompletedAtOnce) return;
    for (std::uint32_t i = 0; i < r.bytes; ++i) AccountFront(slots[i].length);
    if (r.bytes < count) return;
  }
}

void DatagramQueue::Enqueue(const void* data, std::size_t length, const void* address, std::uint32_t addressLength) {
  if (length == 0 || addressLength == 0) return;
  if (static_cast<std::int32_t>(addressLength) < 0 || addressLength > 128) {
    Log("%s() addrLen is too large: %u (max allowed %lu)", "EnqueueChunk", addressLength, 128ul);
    return;
  }
  Chunk* chunk = TakeChunk(length);
  if (chunk == nullptr) {
    Log("Error: %s() failed to allocate memory for chunk", "EnqueueChunk");
    return;
  }
  chunk->sent = 0;
  chunk->length = length;
  chunk->addressLength = addressLength;
  std::memcpy(chunk->Data(), data, length);
  std::memcpy(chunk->address, address, addressLength);
  chunks.push_back(chunk);
}

std::uint32_t DatagramQueue::Flush() {
  if (pending) return static_cast<std::uint32_t>(chunks.size());
  SendBatches();
  while (!chunks.empty()) {
    Chunk* front = chunks.front();
    if (front->length == 0 || front->addressLength == 0) {
      DropFront();
      continue;
    }
    platform::IoResult r = sender(port, handle, record, front->Data() + front->sent,
                                  static_cast<std::uint32_t>(front->length - front->sent), front->address,
                                  static_cast<std::int32_t>(front->addressLength));
    if (r.status == platform::IoStatus::CompletedAtOnce) {
      // Its notification still comes through the port and is skipped then.
      ++earlyCount;
      AccountFront(r.bytes);
      continue;
    }
    if (r.status == platform::IoStatus::Pending) {
      pending = true;
      return static_cast<std::uint32_t>(chunks.size());
    }
    // A remote address that refuses datagrams can make every send fail.
    LogLimited(sendErrorLines, "WSASendTo() failed (%d)", r.error);
    DropFront();
    return static_cast<std::uint32_t>(chunks.size());
  }
  return 0;
}

void DatagramQueue::OnSendCompleted(std::uint32_t bytes) {
  if (earlyCount > 0) {
    --earlyCount;
    return;
  }
  if (!chunks.empty()) AccountFront(bytes);
  pending = false;
}

}  // namespace lattice
