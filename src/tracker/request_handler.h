// What the tracker does with one framed client message.
#pragma once

#include <cstdint>

#include "tracker/connection.h"
#include "tracker/peers_encoder.h"
#include "tracker/tracker.h"

namespace lattice {

// Handles one whole message (prefix included). Introductions go out through
// the chosen peers' Send; the returned reply lives in the tracker's
// ReplyBuffer and must be copied before anything else is encoded. Length 0
// means no reply.
EncodedMessage HandleMessage(Tracker& tracker, Connection& connection, const std::uint8_t* message,
                             std::uint64_t totalLength, const CompactAddress& peerAddress);

// Queues an introduction on one connection of a listed peer, counted as sent
// or as dropped (too large for any queue, or no room in this one).
void SendIntroduction(Tracker& tracker, Connection& target, const std::uint8_t* data, std::size_t length);

}  // namespace lattice
