// What the tracker core uses of a client connection. The network layer's
// socket classes implement it; the core knows nothing else of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/address_family.h"
#include "tracker/registration_set.h"

namespace lattice {

// MetricsHttp never indexes the per-transport counters: such connections are
// not clients of the tracker.
enum SocketKind : int { Udp = 0, Tcp = 1, Utp = 2, TcpListening = 3, MetricsHttp = 4 };

// The most a connection holds queued for sending; a message that does not fit
// in what is left is dropped (a reply may wait, see FrameMessages).
inline constexpr std::size_t kMaxOutboundBytes = 8192;

// Room for an IPv4 or IPv6 socket address in the system's layout: the family
// and port sit at the same offsets on every system. Sized to fit, as every
// connection holds one.
struct alignas(8) AddressStorage {
  std::uint8_t bytes[platform::kMaxAddressBytes] = {};
};

inline std::uint16_t AddressFamily(const void* address) {
  std::uint16_t family;
  std::memcpy(&family, address, sizeof family);
  return family;
}

// The port in host order; 0 for a family other than IPv4 and IPv6.
inline std::uint16_t AddressPort(const void* address) {
  std::uint16_t family = AddressFamily(address);
  if (family != platform::kFamilyInet && family != platform::kFamilyInet6) return 0;
  const auto* bytes = static_cast<const std::uint8_t*>(address);
  return static_cast<std::uint16_t>(bytes[2] << 8 | bytes[3]);
}

class Connection {
 public:
  Connection() = default;
  virtual ~Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  virtual int Kind() const = 0;
  // Queues a whole message and starts sending it; false when it did not fit.
  virtual bool Send(const void* data, std::size_t length) = 0;
  // Queues a whole reply without starting a send (the caller starts one after
  // the messages of a read are handled); false when it did not fit.
  virtual bool Queue(const void* data, std::size_t length) = 0;

  AddressStorage peerAddress;
  // Bytes received and not yet handled as whole messages.
  std::vector<std::uint8_t> inbound;
  // A reply to this connection's own request that did not fit the queue.
  // While it is held, no further message is handled and nothing more is
  // read, so pipelined requests never lose their replies.
  std::vector<std::uint8_t> heldReply;
  RegistrationSet registrations;
  // Registry bytes of the peer ids this connection announced (records and
  // addresses): PeerRegistry::PeerBytes summed over its registrations.
  std::int64_t registryBytes = 0;
  // Set by the first request that registered a peer; connections without one
  // are the first to go when uTP connections pile up.
  bool requested = false;
};

}  // namespace lattice
