// The process-wide list of live connection objects (TCP and uTP).
#pragma once

#include <cstdint>
#include <vector>

#include "net/socket.h"

namespace lattice {

// Owns its entries; only SweepSockets removes and deletes them.
std::vector<Socket*>& SocketList();

// The first open connection with this handle, or null.
Socket* FindSocket(std::uintptr_t handle);

// Closes connections idle for more than 30 seconds and destroys closed ones
// whose transfers have all completed.
void SweepSockets(std::int64_t now);

}  // namespace lattice
