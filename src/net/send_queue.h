// The datagram send queue of a UDP socket: uTP packets leave in the order the
// library produced them, many to a call where the system can batch them, else
// one overlapped send at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "log/log.h"
#include "platform/io_port.h"

namespace lattice {

struct TrackerStats;

// One queued datagram; header and data share one heap block.
struct Chunk {
  std::uint64_t sent;
  std::uint64_t length;
  alignas(8) std::uint8_t address[128];
  std::uint32_t addressLength;
  std::uint32_t room;  // bytes of data the block holds
  std::uint8_t* Data() { return reinterpret_cast<std::uint8_t*>(this + 1); }
};

using DatagramSender = platform::IoResult (*)(platform::IoPort*, platform::SocketHandle, platform::IoRecord*,
                                              const void*, std::uint32_t, const void*, std::int32_t);
using DatagramBatchSender = platform::IoResult (*)(platform::IoPort*, platform::SocketHandle,
                                                   const platform::DatagramSlot*, std::uint32_t);

void FreeChunk(Chunk* chunk);

class DatagramQueue {
 public:
  // The record is prepared by the socket that owns it; stats count the bytes.
  DatagramQueue(platform::IoPort* port, platform::SocketHandle handle, platform::IoRecord* record,
                TrackerStats& stats);
  ~DatagramQueue();
  DatagramQueue(const DatagramQueue&) = delete;
  DatagramQueue& operator=(const DatagramQueue&) = delete;

  void Enqueue(const void* data, std::size_t length, const void* address, std::uint32_t addressLength);
  // Sends until the queue is empty, a send is outstanding or one failed;
  // returns the number of chunks still queued.
  std::uint32_t Flush();
  void OnSendCompleted(std::uint32_t bytes);

  bool Pending() const { return pending; }
  // Sends that still owe the port a completion.
  std::uint32_t InFlight() const { return (pending ? 1u : 0u) + earlyCount; }

  std::deque<Chunk*> chunks;
  // The datagram send calls; tests replace them to script what happens.
  DatagramSender sender = platform::StartSendTo;
  DatagramBatchSender batchSender = platform::SendDatagrams;
  // Immediate sends whose completions are still to come and be skipped.
  std::uint32_t earlyCount = 0;

 private:
  Chunk* TakeChunk(std::size_t length);
  void DropFront();
  void AccountFront(std::uint32_t bytes);
  void SendBatches();

  platform::IoPort* port;
  platform::SocketHandle handle;
  platform::IoRecord* record;
  TrackerStats& stats;
  std::vector<Chunk*> spareChunks;  // sent, kept for the next datagrams
  bool pending = false;
  // A remote address that refuses datagrams can make every send fail.
  LogLimiter sendErrorLines;
};

}  // namespace lattice
