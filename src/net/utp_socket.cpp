#include "net/utp_socket.h"

#include "net/socket_list.h"
#include "tracker/peer_registry.h"
#include "tracker/tracker_stats.h"
#include "utp.h"

namespace lattice {

UtpSocket::UtpSocket(UTPSocket* sock, std::uint32_t id) : Socket(0), utpSock(sock), receiveId(id) {
  SocketList().push_back(this);
  utp_set_userdata(utpSock, this);
  ++trackerStats.active[Utp];
  ++trackerStats.registered[Utp];
}

UtpSocket::~UtpSocket() {
  --trackerStats.active[Utp];
  ++trackerStats.unregistered[Utp];
}

void UtpSocket::Close() {
  if (closed) return;
  closed = true;
  if (utpSock != nullptr) {
    // Cleared first, so the library's later notifications reach no object.
    utp_set_userdata(utpSock, nullptr);
    utp_close(utpSock);
    utpSock = nullptr;
  }
  for (const PeerId& id : registrations) UnbindPeer(*this, id);
}

void UtpSocket::Send(const void* data, std::size_t length) {
  if (QueueAndCount(data, length)) FlushToUtp();
}

void UtpSocket::FlushToUtp() {
  while (utpSock != nullptr && outbound.count != 0) {
    ssize_t taken = utp_write(utpSock, const_cast<std::uint8_t*>(outbound.ContiguousData()), outbound.ContiguousSize());
    // Nothing taken: the window is full; the library reports WRITABLE later.
    if (taken < 1) return;
    if (static_cast<std::uint64_t>(taken) >= outbound.count) {
      outbound.Clear();
      return;
    }
    outbound.Consume(static_cast<std::uint64_t>(taken));
  }
}

}  // namespace lattice
