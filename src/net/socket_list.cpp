#include "net/socket_list.h"

#include "platform/process_control.h"

namespace lattice {
namespace {
constexpr std::size_t kReturnMemoryAfter = 64;
std::size_t closedUnswept = 0;
}  // namespace

std::vector<Socket*>& SocketList() {
  static std::vector<Socket*> list;
  return list;
}

void SweepSockets(std::int64_t now) {
  std::vector<Socket*>& list = SocketList();
  std::size_t destroyed = 0;
  std::size_t i = 0;
  while (i < list.size()) {
    Socket* s = list[i];
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
    list[i] = list.back();
    list.pop_back();
  }
  // Many connections gone at once (their registrations went when they
  // closed): what they held goes back to the system rather than staying
  // resident until the next peak.
  // Relative to the connections left, so steady churn in a large tracker
  // does not pay for the allocator's walk on every sweep.
  if (destroyed >= kReturnMemoryAfter && destroyed >= list.size() / 16) platform::ReturnFreeMemory();
}

void NoteClosed() { ++closedUnswept; }

void SweepIfManyClosed(std::int64_t now) {
  // Once the closed objects are an eighth of the list, a sweep costs a
  // constant amount per closed connection.
  constexpr std::size_t kMinBatch = 4096;
  if (closedUnswept >= kMinBatch && closedUnswept * 8 >= SocketList().size()) SweepSockets(now);
}

}  // namespace lattice
