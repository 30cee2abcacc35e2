// One uTP connection, carried by the library over a UDP socket.
#pragma once

#include "net/socket.h"

struct UTPSocket;

namespace lattice {

class UtpSocket final : public Socket {
 public:
  UtpSocket(UTPSocket* utpSock, std::uint32_t receiveId);
  ~UtpSocket() override;

  int Kind() const override { return Utp; }
  void Close() override;
  void Send(const void* data, std::size_t length) override;
  std::uint32_t ReceiveId() const override { return receiveId; }

  // Moves bytes from outbound into the library as far as its window allows.
  void FlushToUtp();

  // Not owned: the library destroys it. Null once unbound or destroyed.
  UTPSocket* utpSock;
  std::uint32_t receiveId;
};

}  // namespace lattice
