// Cutting length-prefixed messages out of a connection's received bytes.
#pragma once

#include <cstdint>

#include "tracker/connection.h"
#include "tracker/tracker.h"

namespace lattice {

// No real request comes near this; a larger declared body would only make the
// tracker buffer without bound.
constexpr std::uint32_t kMaxMessageBody = 256 * 1024;

// Handles every whole message in the connection's inbound, in arrival order,
// and queues each reply. A reply that does not fit the queue but would fit
// an empty one is held in heldReply and handling stops there until
// ReleaseHeldReply takes it. Returns false when a message declares a
// body above kMaxMessageBody: the caller closes the connection.
bool FrameMessages(Tracker& tracker, Connection& connection);

// The same for bytes just received: handled where they lie while nothing
// waits in inbound, so only a message cut short is copied (into inbound, which
// is freed again once it is empty). With nothing waiting, length 0 frames
// nothing; otherwise the bytes are appended and inbound is framed.
bool FrameReceived(Tracker& tracker, Connection& connection, const std::uint8_t* data, std::size_t length);

// Moves a held reply into the ring once there is room. True when nothing is
// held any more: the caller then frames the rest of inbound and reads again.
bool ReleaseHeldReply(Tracker& tracker, Connection& connection);

// Whether the connection has stopped handling input: for a held reply, or
// until the shared registry answers its request.
inline bool InputPaused(const Connection& connection) {
  return !connection.heldReply.empty() || connection.engineWait == EngineWait::Waiting;
}

}  // namespace lattice
