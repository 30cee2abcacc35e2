// The base of client connections (TCP and uTP), and the list of live ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "net/byte_ring.h"
#include "tracker/connection.h"

namespace lattice {

struct IoPortContext;

static_assert(ByteRing::kMaxCapacity == kMaxOutboundBytes, "the ring is the connection's send queue");

// A client connection, TCP or uTP: what the core uses of it, plus what the
// loop needs to send for it, expire it and destroy it safely.
class Socket : public Connection {
 public:
  explicit Socket(IoPortContext* loop);
  // Destroyed only once its transfers have reported, so nothing is lent.
  ~Socket() override;

  virtual bool IsExpired(std::int64_t now) const;
  virtual void Close() = 0;
  // Into the ring; the send starts with the pass's sends (StartSending).
  bool Send(const void* data, std::size_t length) final;

  // Transfers started and not yet reported by the port. A closed object is
  // destroyed only when this is 0, so the system never writes freed memory.
  virtual std::uint32_t TransfersInFlight() const { return 0; }

  // Starts sending what is queued: the loop calls it once per pass for every
  // connection that asked with WantSend.
  virtual void StartSending() = 0;

  std::int64_t lastActivity;
  bool closed = false;
  // Counted by the admission bounds until Close gives the place back.
  bool admitted = false;
  // On the list of connections to send for at the end of the pass.
  bool sendWanted = false;
  ByteRing outbound;
  IoPortContext* loop;
};

// The live TCP and uTP connection objects of one loop. Owns its entries; only
// SweepSockets removes and deletes them.
class SocketList {
 public:
  SocketList() = default;
  // Deletes what is left whose transfers have all reported; the rest the
  // system may still write into, so it is left allocated.
  ~SocketList();
  SocketList(const SocketList&) = delete;
  SocketList& operator=(const SocketList&) = delete;

  void Add(Socket* socket) { items.push_back(socket); }
  std::vector<Socket*>::const_iterator begin() const { return items.begin(); }
  std::vector<Socket*>::const_iterator end() const { return items.end(); }
  std::size_t size() const { return items.size(); }
  void Reserve(std::size_t n) { items.reserve(n); }

  // Closes connections idle for more than 30 seconds and destroys closed ones
  // whose transfers have all completed.
  void SweepSockets(std::int64_t now);

  // Counts a connection closed and not yet destroyed; its Close calls it once.
  void NoteClosed() { ++closedUnswept; }

  // Sweeps at once when closed connections pile up faster than the sweep every
  // 5 seconds destroys them (a flood of handshakes, or of short connections):
  // each closed object still holds its buffers until it is destroyed.
  void SweepIfManyClosed(std::int64_t now);

  // Messages queued for a connection during one batch of completions leave
  // in one transfer started after the batch, so a connection that gets
  // several introductions in a pass costs one send, not one each.
  void WantSend(Socket& socket) {
    if (socket.sendWanted) return;
    socket.sendWanted = true;
    wantSend.push_back(&socket);
  }
  // Before anything can be destroyed in the pass, so every entry is alive.
  void FlushWantedSends();

 private:
  std::vector<Socket*> items;
  std::vector<Socket*> wantSend;
  std::size_t closedUnswept = 0;
};

}  // namespace lattice
