// What a transport does with a connection's input, written once for TCP and
// uTP: framing, handling, the held reply, and when input pauses and resumes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tracker/connection.h"
#include "tracker/tracker.h"

namespace lattice {

enum class InputState {
  Reading,  // every whole message is handled: read on
  Paused,   // a reply waits for room: read no more until OnOutputRoom
  Broken,   // the peer broke the framing: close once what is queued is out
};

// Handles the bytes just received (none: only what waits in inbound). Replies
// are queued, and a reply that does not fit is held; while one is held
// nothing more is handled, but bytes still received (uTP cannot refuse them)
// are kept in inbound.
InputState PumpInput(Tracker& tracker, Connection& connection, const std::uint8_t* data, std::size_t length);

// Room was made in the connection's queue (a send completed): a held reply
// goes in if it fits now, and what waited behind it is handled.
inline InputState OnOutputRoom(Tracker& tracker, Connection& connection) {
  return PumpInput(tracker, connection, nullptr, 0);
}

}  // namespace lattice
