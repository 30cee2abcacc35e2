// A bound UDP socket: it carries every uTP connection of its address.
#pragma once

#include <cstdint>
#include <deque>
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

  // Takes up to 100 datagrams that are ready at once and normally ends with one
  // receive outstanding. False when a receive could not be started.
  bool PostReceive();
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
  // The datagram send call; tests replace it to make sends fail.
  DatagramSender sender;

 private:
  void Deliver(std::uint32_t bytes);
};

}  // namespace lattice
