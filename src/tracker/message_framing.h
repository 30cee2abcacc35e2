// Cutting length-prefixed messages out of a connection's received bytes.
#pragma once

#include <cstdint>

#include "net/socket.h"

namespace lattice {

// No real request comes near this; a larger declared body would only make the
// tracker buffer without bound.
constexpr std::uint32_t kMaxMessageBody = 256 * 1024;

// Handles every whole message in socket.inbound, in arrival order, and appends
// each reply to socket.outbound. A reply that does not fit the ring but would
// fit an empty one is held in socket.heldReply and handling stops there
// until ReleaseHeldReply takes it. Returns false when a message declares a
// body above kMaxMessageBody: the caller closes the connection.
bool FrameMessages(Socket& socket);

// Moves a held reply into the ring once there is room. True when nothing is
// held any more: the caller then frames the rest of inbound and reads again.
bool ReleaseHeldReply(Socket& socket);

// Whether the connection has stopped handling input for a held reply.
inline bool InputPaused(const Socket& socket) { return !socket.heldReply.empty(); }

}  // namespace lattice
