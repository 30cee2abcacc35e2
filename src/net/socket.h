// The socket object family's base: what the protocol layer sees of a connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "net/byte_ring.h"
#include "net/registration_set.h"
#include "tracker/peer_ids.h"

namespace lattice {

enum SocketKind : int { Udp = 0, Tcp = 1, Utp = 2, TcpListening = 3 };

struct IoPortContext;

// The handle of an object that has no system socket of its own (a uTP
// connection). Descriptor 0 is a valid socket when standard input is closed,
// so 0 cannot mean "none"; this equals platform::kInvalidSocket.
inline constexpr std::uintptr_t kNoHandle = ~std::uintptr_t{0};

// Room for any socket address, IPv4 or IPv6.
struct alignas(8) AddressStorage {
  std::uint8_t bytes[128] = {};
};

class Socket {
 public:
  explicit Socket(std::uintptr_t handle);
  virtual ~Socket();
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  virtual bool IsExpired(std::int64_t now) const;
  virtual int Kind() const = 0;
  virtual void Close() {}
  // Queues a whole message; counts it only when the ring accepted it.
  virtual void Send(const void* data, std::size_t length);
  virtual std::uint32_t ReceiveId() const { return 0; }

  // Transfers started and not yet reported by the port. A closed object is
  // destroyed only when this is 0, so the system never writes freed memory.
  virtual std::uint32_t TransfersInFlight() const { return 0; }

  AddressStorage peerAddress;
  std::uintptr_t handle;
  std::int64_t lastActivity;
  bool closed = false;
  // Set by the first request that registered a peer; connections without one
  // are the first to go when uTP connections pile up.
  bool requested = false;
  // Counted by the admission bounds until Close gives the place back.
  bool admitted = false;
  // Registry bytes this connection's requests added (records and addresses).
  std::int64_t registryBytes = 0;
  std::vector<std::uint8_t> inbound;
  // A reply to this connection's own request that did not fit the ring.
  // While it is held, no further message is handled and nothing more is
  // read, so pipelined requests never lose their replies.
  std::vector<std::uint8_t> heldReply;
  ByteRing outbound;
  RegistrationSet registrations;
  IoPortContext* loop = nullptr;

 protected:
  bool QueueAndCount(const void* data, std::size_t length);
};

}  // namespace lattice
