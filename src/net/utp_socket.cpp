#include "net/utp_socket.h"

#include "log/log.h"
#include "net/admission.h"
#include "net/io_port_context.h"
#include "utp.h"

namespace lattice {
namespace {

void Append(UtpSocket& s) {
  PendingUtp& q = s.loop->pendingUtp;
  s.pendingPrev = q.tail;
  s.pendingNext = nullptr;
  (q.tail != nullptr ? q.tail->pendingNext : q.head) = &s;
  q.tail = &s;
  s.pending = true;
  ++q.count;
}

void Evict(UtpSocket& s, const char* why) {
  s.loop->tracker.stats.CountLimitHit(kLimitPendingUtp);
  PendingUtp& q = s.loop->pendingUtp;
  LogLimited(q.evictedLines, "uTP connection evicted without a request (%s): %llu pending, %llu open", why,
             static_cast<unsigned long long>(q.count), static_cast<unsigned long long>(q.open));
  s.Close();
}

}  // namespace

UtpSocket::UtpSocket(UTPSocket* sock, std::uint32_t id, IoPortContext* loopContext)
    : Socket(loopContext), utpSock(sock), receiveId(id), acceptedAt(loopContext->tracker.now) {
  loop->sockets.Add(this);
  utp_set_userdata(utpSock, this);
  ++loop->tracker.stats.active[Utp];
  loop->tracker.stats.CountRegistered(Utp);
  ++loop->pendingUtp.open;
  Append(*this);
}

UtpSocket::~UtpSocket() {
  // Objects are closed before the sweep deletes them; this covers any that
  // were not, so the queue never points at freed memory.
  if (!closed) {
    LeavePending(*this);
    --loop->pendingUtp.open;
  }
  --loop->tracker.stats.active[Utp];
  loop->tracker.stats.CountUnregistered(Utp);
}

void UtpSocket::Close() {
  if (closed) return;
  closed = true;
  ReleaseConnection(*this);
  LeavePending(*this);
  --loop->pendingUtp.open;
  loop->sockets.NoteClosed();
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
  UnbindClosingConnection(loop->tracker, *this);
}

void UtpSocket::FlushToUtp() {
  while (utpSock != nullptr && outbound.count != 0) {
    ssize_t taken = utp_write(utpSock, const_cast<std::uint8_t*>(outbound.ContiguousData()), outbound.ContiguousSize());
    // Nothing taken: the window is full; the library reports WRITABLE later.
    if (taken < 1) return;
    if (static_cast<std::uint64_t>(taken) >= outbound.count) {
      outbound.Clear(&loop->blocks);
      return;
    }
    outbound.Consume(static_cast<std::uint64_t>(taken), &loop->blocks);
  }
}

void LeavePending(UtpSocket& s) {
  if (!s.pending) return;
  PendingUtp& q = s.loop->pendingUtp;
  (s.pendingPrev != nullptr ? s.pendingPrev->pendingNext : q.head) = s.pendingNext;
  (s.pendingNext != nullptr ? s.pendingNext->pendingPrev : q.tail) = s.pendingPrev;
  s.pendingPrev = s.pendingNext = nullptr;
  s.pending = false;
  --q.count;
}

namespace {

// The oldest connection still without a request. Whoever sets `requested`
// need not know the queue: such heads leave here.
UtpSocket* OldestPending(PendingUtp& q) {
  while (q.head != nullptr && q.head->requested) LeavePending(*q.head);
  return q.head;
}

}  // namespace

bool ShedHandshake(IoPortContext& loop, std::int64_t now) {
  PendingUtp& q = loop.pendingUtp;
  const UtpSocket* oldest = OldestPending(q);
  if (oldest == nullptr || q.count < loop.tracker.limits.maxPendingUtpConnections) return false;
  if (now - oldest->acceptedAt >= kMinPendingAge) return false;
  loop.tracker.stats.CountLimitHit(kLimitPendingUtp);
  LogLimited(q.evictedLines, "uTP handshake dropped: %llu pending, the oldest under %llds old",
             static_cast<unsigned long long>(q.count), static_cast<long long>(kMinPendingAge));
  return true;
}

void EvictPendingUtp(IoPortContext& loop, std::int64_t now) {
  PendingUtp& q = loop.pendingUtp;
  const Limits& limits = loop.tracker.limits;
  while (q.count > limits.maxPendingUtpConnections && OldestPending(q) != nullptr) Evict(*q.head, "too many pending");
  if (q.open <= limits.maxPendingUtpConnections / 2) return;
  const std::int64_t timeout = limits.pendingUtpTimeout;
  while (OldestPending(q) != nullptr && now - q.head->acceptedAt > timeout &&
         q.open > limits.maxPendingUtpConnections / 2)
    Evict(*q.head, "timed out");
}

}  // namespace lattice
