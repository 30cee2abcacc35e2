#include "net/socket.h"

#include "net/io_port_context.h"
#include "platform/process_control.h"

namespace lattice {

Socket::Socket(IoPortContext* loopContext) : lastActivity(loopContext->tracker.now), loop(loopContext) {}

Socket::~Socket() { outbound.Release(&loop->blocks); }

bool Socket::Send(const void* data, std::size_t length) {
  if (outbound.Write(data, length, &loop->blocks) == 0 && length != 0) return false;
  loop->sockets.WantSend(*this);
  return true;
}

bool Socket::IsExpired(std::int64_t now) const { return now - lastActivity > 30; }

SocketList::~SocketList() {
  for (Socket* s : items)
    if (s->TransfersInFlight() == 0) delete s;
}

void SocketList::SweepSockets(std::int64_t now) {
  FlushWantedSends();  // nothing on that list may be destroyed below
  constexpr std::size_t kReturnMemoryAfter = 64;
  std::size_t destroyed = 0;
  std::size_t i = 0;
  while (i < items.size()) {
    Socket* s = items[i];
    if (!s->closed && s->IsExpired(now)) s->Close();
    // A closed object whose cancelled transfers have not reported yet stays
    // for a later sweep: the system may still write into its records.
    if (!s->closed || s->TransfersInFlight() != 0) {
      ++i;
      continue;
    }
    delete s;
    ++destroyed;
    if (closedUnswept > 0) --closedUnswept;
    items[i] = items.back();
    items.pop_back();
  }
  // Many connections gone at once (their registrations went when they
  // closed): what they held goes back to the system rather than staying
  // resident until the next peak.
  // Relative to the connections left, so steady churn in a large tracker
  // does not pay for the allocator's walk on every sweep.
  if (destroyed >= kReturnMemoryAfter && destroyed >= items.size() / 16) platform::ReturnFreeMemory();
}

void SocketList::FlushWantedSends() {
  // Indexed: starting a send never adds to the list, but stay safe if it did.
  for (std::size_t i = 0; i < wantSend.size(); ++i) {
    Socket* s = wantSend[i];
    s->sendWanted = false;
    if (!s->closed) s->StartSending();
  }
  wantSend.clear();
}

void SocketList::SweepIfManyClosed(std::int64_t now) {
  // Once the closed objects are an eighth of the list, a sweep costs a
  // constant amount per closed connection.
  constexpr std::size_t kMinBatch = 4096;
  if (closedUnswept >= kMinBatch && closedUnswept * 8 >= items.size()) SweepSockets(now);
}

}  // namespace lattice
