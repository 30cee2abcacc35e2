// A bound UDP socket: it carries every uTP connection of its address. It owns
// its receive, its datagram send queue and its uTP library context, and
// handles the completions of both.
#pragma once

#include <cstdint>
#include <memory>

#include "log/log.h"
#include "net/io_object.h"
#include "net/io_port_context.h"
#include "net/send_queue.h"

struct struct_utp_context;

namespace lattice {

// The handle of a UdpSocket that has no system socket (the tests' in-memory
// link). Descriptor 0 is a valid socket when standard input is closed, so 0
// cannot mean "none"; this equals platform::kInvalidSocket.
inline constexpr std::uintptr_t kNoHandle = ~std::uintptr_t{0};

class UdpSocket final : public IoObject {
 public:
  UdpSocket(platform::SocketHandle handle, IoPortContext* loop);
  ~UdpSocket() override;

  void OnCompletion(const platform::Completion& completion) override;

  // Takes up to kMaxDatagramsPerPass datagrams that are ready at once and
  // normally ends with one receive outstanding; past the bound the next pass
  // goes on. Does nothing while a receive is outstanding.
  void ReceiveMore();
  static constexpr std::uint32_t kMaxDatagramsPerPass = 128;
  // Where datagrams are read one call each, fewer: under a flood such a
  // pass spends its time on them while TCP completions wait for the next
  // one. (Under Wine, 128 a pass left a TCP client unanswered for seconds;
  // 16 answered it within 7 ms and took in a fifth fewer datagrams.)
  static constexpr std::uint32_t kMaxSingleReadsPerPass = 16;
  // The datagram as a receive completion delivers it (the tests' link too).
  void OnReceiveCompleted(std::uint32_t bytes);

  // The library's timers, then whatever they and the pass queued is sent.
  void RunTimers();
  // Called by the library's send callback.
  void Enqueue(const void* data, std::size_t length, const void* address, std::uint32_t addressLength) {
    sends.Enqueue(data, length, address, addressLength);
  }

  // From shutdown on, received datagrams are dropped and a completed send
  // starts the next one at once: the queued end-of-stream packets leave
  // while the loop only waits for transfers.
  void BeginClosing() { closing = true; }
  bool TransfersInFlight() const { return recvPending || recvEarlyCount != 0 || sends.InFlight() != 0; }

  const platform::SocketHandle handle;
  IoPortContext* const loop;
  struct_utp_context* utpContext = nullptr;

  // The receive side: the record, its 64 KiB buffer (one per socket, not per
  // uTP connection) and the source address of the last datagram.
  static constexpr std::uint32_t kBufferSize = 65536;
  platform::IoRecord recvRecord;
  std::uint8_t recvBuffer[kBufferSize];
  alignas(8) std::uint8_t sourceAddress[128];
  std::int32_t sourceAddressLength = 128;

 private:
  // Room for a batch of received datagrams, each as large as a datagram can
  // be; made on first use, and only the bytes datagrams fill are touched.
  struct BatchRoom {
    static constexpr std::uint32_t kSlots = 32;
    std::uint8_t buffers[kSlots][65536];
    alignas(8) std::uint8_t addresses[kSlots][128];
  };

  std::uint32_t ReceiveBatch();  // datagrams taken; 0 where batches are not offered
  void Deliver(const std::uint8_t* data, std::uint32_t bytes, const void* address, std::int32_t addressLength);

  platform::IoRecord sendRecord;
  std::uint32_t recvEarlyCount = 0;
  bool recvPending = false;
  bool closing = false;
  std::unique_ptr<BatchRoom> batchRoom;
  LogLimiter receiveErrorLines;

 public:
  DatagramQueue sends;
};

}  // namespace lattice
