#include "net/utp_socket.h"

#include "log/log.h"
#include "log/loop_clock.h"
#include "net/admission.h"
#include "net/socket_list.h"
#include "tracker/limits.h"
#include "tracker/peer_registry.h"
#include "tracker/tracker_stats.h"
#include "utp.h"

namespace lattice {
namespace {

// Accept order is age order, so the oldest pending connection is the head
// and every bound is checked in constant time.
struct PendingQueue {
  UtpSocket* head = nullptr;
  UtpSocket* tail = nullptr;
  std::uint64_t count = 0;
  std::uint64_t open = 0;
  // Closed objects the sweep has not deleted yet.
};

PendingQueue& Queue() {
  static PendingQueue queue;
  return queue;
}

void Append(UtpSocket& s) {
  PendingQueue& q = Queue();
  s.pendingPrev = q.tail;
  s.pendingNext = nullptr;
  (q.tail != nullptr ? q.tail->pendingNext : q.head) = &s;
  q.tail = &s;
  s.pending = true;
  ++q.count;
}

void Evict(UtpSocket& s, const char* why) {
  CountLimitHit(kLimitPendingUtp);
  static LogLimiter limiter;
  const PendingQueue& q = Queue();
  LogLimited(limiter, "uTP connection evicted without a request (%s): %llu pending, %llu open", why,
             static_cast<unsigned long long>(q.count), static_cast<unsigned long long>(q.open));
  s.Close();
}

}  // namespace

UtpSocket::UtpSocket(UTPSocket* sock, std::uint32_t id)
    : Socket(0), utpSock(sock), receiveId(id), acceptedAt(LoopClock()) {
  SocketList().push_back(this);
  utp_set_userdata(utpSock, this);
  ++trackerStats.active[Utp];
  ++trackerStats.registered[Utp];
  ++Queue().open;
  Append(*this);
}

UtpSocket::~UtpSocket() {
  // Objects are closed before the sweep deletes them; this covers any that
  // were not, so the queue never points at freed memory.
  if (!closed) {
    LeavePending(*this);
    --Queue().open;
  }
  --trackerStats.active[Utp];
  ++trackerStats.unregistered[Utp];
}

void UtpSocket::Close() {
  if (closed) return;
  closed = true;
  ReleaseConnection(*this);
  LeavePending(*this);
  --Queue().open;
  NoteClosed();
  if (utpSock != nullptr) {
    // Cleared first, so the library's later notifications reach no object.
    utp_set_userdata(utpSock, nullptr);
    // A connection that never asked for anything gets no FIN exchange: its
    // retransmits would keep the library's memory for many seconds, which a
    // flood of bare handshakes would turn into gigabytes.
    if (requested && !endedByLibrary)
      utp_close(utpSock);
    else
      utp_abort(utpSock);
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

std::uint64_t OpenUtpConnections() { return Queue().open; }
std::uint64_t PendingUtpConnections() { return Queue().count; }

void LeavePending(UtpSocket& s) {
  if (!s.pending) return;
  PendingQueue& q = Queue();
  (s.pendingPrev != nullptr ? s.pendingPrev->pendingNext : q.head) = s.pendingNext;
  (s.pendingNext != nullptr ? s.pendingNext->pendingPrev : q.tail) = s.pendingPrev;
  s.pendingPrev = s.pendingNext = nullptr;
  s.pending = false;
  --q.count;
}

void EvictPendingUtp(std::int64_t now) {
  PendingQueue& q = Queue();
  // Whoever sets `requested` need not know the queue: such heads leave here.
  auto head = [&q]() {
    while (q.head != nullptr && q.head->requested) LeavePending(*q.head);
    return q.head;
  };
  while (q.count > limits.maxPendingUtpConnections && head() != nullptr) Evict(*q.head, "too many pending");
  if (q.open <= limits.maxPendingUtpConnections / 2) return;
  const std::int64_t timeout = limits.pendingUtpTimeout;
  while (head() != nullptr && now - q.head->acceptedAt > timeout && q.open > limits.maxPendingUtpConnections / 2)
    Evict(*q.head, "timed out");
}

}  // namespace lattice
