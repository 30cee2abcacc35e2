// Bounds on what one client can make the tracker hold. Each is an option;
// the defaults are chosen so that a legitimate deployment never meets them
// (the README gives the arithmetic).
#pragma once

#include <cstdint>

namespace lattice {

struct Limits {
  // TCP and uTP connections together.
  std::uint64_t maxConnections = 1000000;
  // Per remote IPv4 address, or per IPv6 /64: a carrier-grade NAT puts a few
  // hundred to a few thousand devices behind one address.
  std::uint32_t maxConnectionsPerAddress = 4096;
  // Distinct peer ids announced on one connection.
  std::uint32_t maxPeerIdsPerConnection = 1024;
  // Bytes of one "la" or "la_list" value. A larger one could never be
  // delivered: no message listing the peer would fit an 8 KiB ring.
  std::uint32_t maxLocalAddressBytes = 8192;
  // Connections that announce the same peer id.
  std::uint32_t maxConnectionsPerPeerId = 16;
  // Registry bytes (records and their addresses) of the peer ids one
  // connection announced, whichever connection added them.
  std::uint64_t maxRegistryBytesPerConnection = 4u << 20;
  // uTP connections that have not sent a valid request yet: above this many
  // the oldest of them are evicted at once.
  std::uint32_t maxPendingUtpConnections = 20000;
  // Seconds a uTP connection may stay without a valid request while the
  // uTP connection count is above maxPendingUtpConnections / 2.
  std::uint32_t pendingUtpTimeout = 5;
  // Send and receive buffer of an accepted TCP socket (Linux doubles it):
  // what the kernel holds for a client that does not read, on top of the
  // 8 KiB outbound ring, instead of the listener's 6 MiB.
  std::uint32_t connectionBufferBytes = 65536;
};

// Which bound was hit; the index of TrackerStats::limitHits.
enum LimitKind : int {
  kLimitDescriptors = 0,
  kLimitConnections,
  kLimitPerAddress,
  kLimitPeerIds,
  kLimitLocalAddress,
  kLimitPerPeerId,
  kLimitRegistryBytes,
  kLimitPendingUtp,
  kLimitKinds
};

}  // namespace lattice
