// Cutting length-prefixed messages out of a connection's received bytes.
#pragma once

#include <cstdint>

#include "net/socket.h"

namespace lattice {

// No real request comes near this; a larger declared body would only make the
// tracker buffer without bound.
constexpr std::uint32_t kMaxMessageBody = 256 * 1024;

// Handles every whole message in socket.inbound, in arrival order, and appends
// each reply to socket.outbound. Returns false when a message declares a body
// above kMaxMessageBody: the caller closes the connection.
bool FrameMessages(Socket& socket);

}  // namespace lattice
