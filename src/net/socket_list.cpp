#include "net/socket_list.h"

namespace lattice {

std::vector<Socket*>& SocketList() {
  static std::vector<Socket*> list;
  return list;
}

Socket* FindSocket(std::uintptr_t handle) {
  for (Socket* s : SocketList())
    if (s->handle == handle && !s->closed) return s;
  return nullptr;
}

void SweepSockets(std::int64_t now) {
  std::vector<Socket*>& list = SocketList();
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
    list[i] = list.back();
    list.pop_back();
  }
}

}  // namespace lattice
