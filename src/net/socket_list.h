// The process-wide list of live connection objects (TCP and uTP).
#pragma once

#include <cstdint>
#include <vector>

#include "net/socket.h"

namespace lattice {

// Owns its entries; only SweepSockets removes and deletes them.
std::vector<Socket*>& SocketList();

// Closes connections idle for more than 30 seconds and destroys closed ones
// whose transfers have all completed.
void SweepSockets(std::int64_t now);

// Counts a connection closed and not yet destroyed; its Close calls it once.
void NoteClosed();

// Sweeps at once when closed connections pile up faster than the sweep every
// 5 seconds destroys them (a flood of handshakes, or of short connections):
// each closed object still holds its buffers until it is destroyed.
void SweepIfManyClosed(std::int64_t now);

}  // namespace lattice
