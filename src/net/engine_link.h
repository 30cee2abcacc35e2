// One TCP connection to one engine node, in the loop's completion port. It
// only moves bytes: what they mean is its listener's business.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "net/io_object.h"
#include "net/io_port_context.h"

namespace lattice {

class EngineLinkListener {
 public:
  virtual ~EngineLinkListener() = default;
  // Bytes that arrived. They may lie in the port's own memory: the listener
  // copies what it keeps and starts nothing on the link from here.
  virtual void OnLinkBytes(const std::uint8_t* data, std::size_t length) = 0;
  // A read is over: now the listener may act on what it took, send or close.
  virtual void OnLinkReadDone() = 0;
  // The peer ended the stream, or a transfer failed; the link is closed.
  virtual void OnLinkBroken() = 0;
};

class EngineLink final : public IoObject {
 public:
  // Takes a connected handle, attaches it to the port and starts waiting for
  // input; Open() tells whether that worked (if not, the handle is closed).
  EngineLink(platform::SocketHandle handle, IoPortContext& loop, EngineLinkListener* listener);
  ~EngineLink() override;

  bool Open() const { return !closed; }
  // Queues bytes and sends them when the send before is out; false when the
  // link is (now) closed. Never calls the listener.
  bool Send(const char* data, std::size_t length);
  // Bytes queued or being sent.
  std::size_t Unsent() const { return sending.size() - sendOffset + queued.size(); }
  // Closes the socket; the listener hears nothing more. Idempotent.
  void Close();
  std::uint32_t TransfersInFlight() const { return transfersInFlight; }
  void OnCompletion(const platform::Completion& completion) override;

 private:
  void OnReadable();
  bool PostReceive();
  bool PostSend();
  void Fail();

  const platform::SocketHandle handle;
  IoPortContext& loop;
  EngineLinkListener* const listener;
  platform::IoRecord recv;
  platform::IoRecord send;
  // What a started send points into stays put: new bytes go to queued, and
  // the two swap once sending is out.
  std::string sending;
  std::size_t sendOffset = 0;
  std::string queued;
  std::uint32_t transfersInFlight = 0;
  bool recvPending = false;
  bool sendPending = false;
  bool closed = false;
};

}  // namespace lattice
