// An accepted TCP connection and its overlapped receive and send.
#pragma once

#include "net/io_port_context.h"
#include "net/socket.h"

namespace lattice {

class TcpSocket final : public Socket {
 public:
  TcpSocket(std::uintptr_t handle, IoPortContext* loop);
  ~TcpSocket() override;

  int Kind() const override { return Tcp; }
  // A draining connection lingers until the next sweep at most.
  bool IsExpired(std::int64_t now) const override { return draining || Socket::IsExpired(now); }
  void Close() override;
  bool Send(const void* data, std::size_t length) override;
  void StartSending() override;
  std::uint32_t TransfersInFlight() const override { return transfersInFlight; }

  // False means the connection is to be closed.
  bool PostReceive();
  void OnReceiveCompleted(std::uint32_t bytes);
  // False means starting the send failed.
  bool PostSend();
  void OnSendCompleted(std::uint32_t bytes);

  // Every completion of this object's records comes through here first, also
  // after Close, so the count of transfers in flight stays exact.
  void NoteCompletion() { --transfersInFlight; }

  RecvRecord recv;
  SendRecord send;
  bool recvPending = false;
  bool sendPending = false;
  // Set when the peer broke the framing: nothing more is read, what is
  // queued still goes out, then the connection closes.
  bool closeWhenSent = false;
  // Set once that last send is out: the sending side is shut and what the
  // peer still sends is read and dropped until it ends, so closing with
  // unread bytes does not reset the connection under the peer's replies.
  bool draining = false;
  std::uint32_t drainedBytes = 0;

 private:
  std::uint32_t transfersInFlight = 0;
};

}  // namespace lattice
