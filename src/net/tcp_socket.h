// An accepted TCP connection: a wait for input and an overlapped send.
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

  // Starts waiting for input; false means the connection is to be closed.
  bool PostReceive();
  // Takes what the socket holds into the loop's buffer: the byte count, 0
  // when there was nothing to take, -1 when the connection is to be closed.
  std::int64_t ReadAvailable(std::uint8_t* buffer, std::uint32_t size);
  // False means starting the send failed.
  bool PostSend();
  void OnSendCompleted(std::uint32_t bytes);

  // Every completion of this object's records comes through here first, also
  // after Close, so the count of transfers in flight stays exact.
  void NoteCompletion() { --transfersInFlight; }

  // An idle connection holds no receive buffer: it waits with a zero-length
  // receive, then reads into the loop's one buffer.
  platform::IoRecord recv;
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
