// The socket object family's base, and the list of live connection objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "net/byte_ring.h"
#include "tracker/connection.h"

namespace lattice {

struct IoPortContext;

// The handle of an object that has no system socket of its own (a uTP
// connection). Descriptor 0 is a valid socket when standard input is closed,
// so 0 cannot mean "none"; this equals platform::kInvalidSocket.
inline constexpr std::uintptr_t kNoHandle = ~std::uintptr_t{0};

static_assert(ByteRing::kMaxCapacity == kMaxOutboundBytes, "the ring is the connection's send queue");

class Socket : public Connection {
 public:
  Socket(std::uintptr_t handle, IoPortContext* loop);

  virtual bool IsExpired(std::int64_t now) const;
  virtual void Close() {}
  // Only the outbound ring; the socket classes start the transfer.
  bool Send(const void* data, std::size_t length) override { return Queue(data, length); }
  bool Queue(const void* data, std::size_t length) override {
    return outbound.Write(data, length) != 0 || length == 0;
  }

  // Transfers started and not yet reported by the port. A closed object is
  // destroyed only when this is 0, so the system never writes freed memory.
  virtual std::uint32_t TransfersInFlight() const { return 0; }

  // Starts sending what is queued: the loop calls it once per pass for every
  // connection that asked with WantSend.
  virtual void StartSending() {}

  std::uintptr_t handle;
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
