// An accepted TCP connection: its wait for input, its overlapped send, and
// the state machine their completions drive.
#pragma once

#include "net/io_object.h"
#include "net/io_port_context.h"
#include "net/socket.h"
#include "tracker/input_pump.h"

namespace lattice {

class TcpSocket final : public Socket, public IoObject {
 public:
  // Registers the connection with the loop and starts waiting for input;
  // a connection that could not start is closed at once.
  TcpSocket(platform::SocketHandle handle, const CompactAddress& address, IoPortContext* loop);
  ~TcpSocket() override;

  int Kind() const override { return Tcp; }
  // A draining connection lingers until the next sweep at most.
  bool IsExpired(std::int64_t now) const override { return draining || Socket::IsExpired(now); }
  void Close() override;
  void StartSending() override;
  std::uint32_t TransfersInFlight() const override { return transfersInFlight; }
  void OnCompletion(const platform::Completion& completion) override;
  void ResumeInput() override;

  const platform::SocketHandle handle;

 private:
  void OnReadable();
  void OnSent(std::uint32_t bytes);
  // What the input pump's answer means for this connection; false when
  // reading is to stop.
  bool Follow(InputState state);
  // Waits for more input unless a wait is outstanding.
  void ReadOn();
  // The last send of a connection that broke the framing is out.
  void FinishClosing();
  // Starts waiting for input; false means the connection is to be closed.
  bool PostReceive();
  // Takes what the socket holds, where the port has it or into the loop's
  // buffer (*data says which): the byte count, 0 when there was nothing to
  // take, -1 when the connection is to be closed. ReleaseReceived follows.
  std::int64_t ReadAvailable(std::uint8_t* buffer, std::uint32_t size, const std::uint8_t** data);
  // False means starting the send failed.
  bool PostSend();

  // An idle connection holds no receive buffer: it waits with a zero-length
  // receive, then reads into the loop's one buffer.
  platform::IoRecord recv;
  platform::IoRecord send;
  std::uint32_t transfersInFlight = 0;
  std::uint32_t drainedBytes = 0;
  bool recvPending = false;
  bool sendPending = false;
  // Set when the peer broke the framing: nothing more is read, what is
  // queued still goes out, then the connection closes.
  bool closeWhenSent = false;
  // Set once that last send is out: the sending side is shut and what the
  // peer still sends is read and dropped until it ends, so closing with
  // unread bytes does not reset the connection under the peer's replies.
  bool draining = false;
};

}  // namespace lattice
