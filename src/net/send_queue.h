// The datagram send queue of a UDP socket: uTP packets leave in the order the
// library produced them, many to a call where the system can batch them, else
// one overlapped send at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/io_port.h"

namespace lattice {

class UdpSocket;

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

void EnqueueChunk(UdpSocket& socket, const void* data, std::size_t length, const void* address,
                  std::uint32_t addressLength);
// Sends until the queue is empty, a send is outstanding or one failed;
// returns the number of chunks still queued.
std::uint32_t FlushSendQueue(UdpSocket& socket);
void OnSendCompleted(UdpSocket& socket, std::uint32_t bytes);
void FreeChunk(Chunk* chunk);

}  // namespace lattice
