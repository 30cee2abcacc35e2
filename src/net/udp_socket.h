// A bound UDP socket: it carries every uTP connection of its address.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "net/io_port_context.h"
#include "net/send_queue.h"
#include "net/socket.h"

struct struct_utp_context;

namespace lattice {

class UdpSocket final : public Socket {
 public:
  UdpSocket(std::uintptr_t handle, IoPortContext* loop);
  ~UdpSocket() override;

  int Kind() const override { return Udp; }

  // Takes up to kMaxDatagramsPerPass datagrams that are ready at once and
  // normally ends with one receive outstanding; past the bound the next pass
  // goes on. False when a receive could not be started.
  bool PostReceive();
  static constexpr std::uint32_t kMaxDatagramsPerPass = 128;
  void OnReceiveCompleted(std::uint32_t bytes);

  struct_utp_context* utpContext = nullptr;
  std::deque<Chunk*> sendQueue;
  std::vector<Chunk*> spareChunks;  // sent, kept for the next datagrams
  RecvRecord recv;
  std::uint32_t recvEarlyCount = 0;
  bool recvPending = false;
  SendRecord send;
  bool sendPending = false;
  std::uint32_t sendEarlyCount = 0;
  // The datagram send calls; tests replace them to script what happens.
  DatagramSender sender;
  DatagramBatchSender batchSender;

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

  std::unique_ptr<BatchRoom> batchRoom;
};

}  // namespace lattice
