// One uTP connection, carried by the library over a UDP socket.
#pragma once

#include <cstdint>

#include "log/log.h"
#include "net/socket.h"

struct UTPSocket;

namespace lattice {

class UtpSocket;

// uTP connections that have not made a valid request yet, oldest first.
// Accept order is age order, so the oldest is the head and every bound is
// checked in constant time.
struct PendingUtp {
  UtpSocket* head = nullptr;
  UtpSocket* tail = nullptr;
  std::uint64_t count = 0;
  // uTP connections not closed yet, pending or not.
  std::uint64_t open = 0;
  LogLimiter evictedLines;
};

class UtpSocket final : public Socket {
 public:
  UtpSocket(UTPSocket* utpSock, std::uint32_t receiveId, IoPortContext* loop);
  ~UtpSocket() override;

  int Kind() const override { return Utp; }
  // A connection that never made a valid request is aborted (its library
  // socket freed at once, a connected peer reset); others end with a FIN.
  void Close() override;
  void StartSending() override { FlushToUtp(); }
  void FlushOutput() override { FlushToUtp(); }
  void ResumeInput() override;

  // Moves bytes from outbound into the library as far as its window allows.
  void FlushToUtp();

  // Not owned: the library destroys it. Null once unbound or destroyed.
  UTPSocket* utpSock;
  std::uint32_t receiveId;
  // Loop-clock second of the accept: the age that the pending bound reads.
  std::int64_t acceptedAt;
  // Links in the queue of pending connections (no valid request yet),
  // oldest first.
  UtpSocket* pendingPrev = nullptr;
  UtpSocket* pendingNext = nullptr;
  bool pending = false;
  // Set when the library has ended the connection itself (reset, time-out):
  // no FIN exchange is left to run, so Close aborts whatever the state.
  bool endedByLibrary = false;
};

// Takes a connection that has made its first valid request off the queue.
void LeavePending(UtpSocket& socket);

// Whether a new handshake is to be dropped before the library sees it: the
// pending connections are at their bound and the oldest of them is younger
// than kMinPendingAge, so accepting would evict a client still within its
// first round trips. Under a SYN flood this keeps the handshakes accepted to
// about the bound per kMinPendingAge, and the rest cost a header check
// instead of an object, an answer and an eviction each, so the loop keeps
// reading the datagrams of connections that exist. Counted as a hit of the
// pending bound.
inline constexpr std::int64_t kMinPendingAge = 1;
bool ShedHandshake(IoPortContext& loop, std::int64_t now);

// Evicts the oldest pending connections beyond maxPendingUtpConnections and,
// while more than half that many uTP connections are open, those pending for
// longer than pendingUtpTimeout. Call it outside the library's callbacks, so
// that the evicted library sockets are freed at once.
void EvictPendingUtp(IoPortContext& loop, std::int64_t now);

}  // namespace lattice
