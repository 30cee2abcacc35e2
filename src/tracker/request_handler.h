// What the tracker does with one framed client message.
#pragma once

#include <cstdint>

#include "net/socket.h"
#include "tracker/peers_encoder.h"

namespace lattice {

// Handles one whole message (prefix included). Introductions go out through
// the chosen peers' Send; the returned reply lives in ReplyBuffer and must be
// copied before anything else is encoded. Length 0 means no reply.
EncodedMessage HandleMessage(Socket& socket, const std::uint8_t* message, std::uint64_t totalLength,
                             const AddressStorage& peerAddress);

}  // namespace lattice
