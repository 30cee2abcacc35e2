#include "net/socket.h"

#include "log/loop_clock.h"
#include "tracker/tracker_stats.h"

namespace lattice {

Socket::Socket(std::uintptr_t handleValue)
    : handle(handleValue), lastActivity(LoopClock()) {}

Socket::~Socket() = default;

bool Socket::IsExpired(std::int64_t now) const { return now - lastActivity > 30; }

bool Socket::QueueAndCount(const void* data, std::size_t length) {
  if (outbound.Write(data, length) == 0 && length != 0) return false;
  CountPeersSent(Kind());
  return true;
}

void Socket::Send(const void* data, std::size_t length) { QueueAndCount(data, length); }

}  // namespace lattice
