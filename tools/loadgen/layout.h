// Which connection carries which peer, and which share each peer is in.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>

namespace loadgen {

// Peers are striped over the connections (peer g rides on connection
// g mod N) and cut into shares of consecutive indices (share g / Z). A share
// of at most N peers therefore has each peer on its own connection, so an
// introduction reaches another connection than the requester's; only shares
// larger than N put several of their peers on one connection.
struct Layout {
  std::uint32_t connections = 1;
  std::uint32_t peersPerConnection = 1;
  std::uint32_t shareSize = 1;

  std::uint32_t TotalPeers() const { return connections * peersPerConnection; }
  std::uint32_t ShareCount() const { return (TotalPeers() + shareSize - 1) / shareSize; }
  std::uint32_t ConnectionOf(std::uint32_t peer) const { return peer % connections; }
  std::uint32_t ShareOf(std::uint32_t peer) const { return peer / shareSize; }
  // The k-th peer that connection c announces, 0 <= k < peersPerConnection.
  std::uint32_t PeerOf(std::uint32_t c, std::uint32_t k) const { return c + k * connections; }
  std::uint32_t ShareMembers(std::uint32_t share) const {
    std::uint64_t first = static_cast<std::uint64_t>(share) * shareSize;
    if (first >= TotalPeers()) return 0;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(shareSize, TotalPeers() - first));
  }

  // Whether connection c carries a peer of the share other than `except`:
  // only then may an introduction for that share arrive on c.
  bool CarriesOtherMember(std::uint32_t c, std::uint32_t share, std::uint32_t except) const {
    std::uint64_t first = static_cast<std::uint64_t>(share) * shareSize;
    std::uint64_t end = first + ShareMembers(share);
    std::uint64_t offset = (c + connections - static_cast<std::uint32_t>(first % connections)) % connections;
    for (std::uint64_t g = first + offset; g < end; g += connections)
      if (g != except) return true;
    return false;
  }
};

// The step between connections that take turns in rate mode. Neighbouring
// connections carry neighbouring shares, so stepping by one would put the
// same few connections in one pass of the server and let their
// introductions share sends, which real clients do not arrange. A step near
// 0.618 n that is coprime with n spreads the turns and still visits every
// connection once in n turns.
inline std::uint32_t SpreadStep(std::uint32_t n) {
  if (n < 3) return 1;
  auto coprime = [n](std::uint32_t s) {
    std::uint32_t a = n, b = s;
    while (b != 0) a = std::exchange(b, a % b);
    return a == 1;
  };
  std::uint32_t s = static_cast<std::uint32_t>(n * 0.618);
  while (!coprime(s)) ++s;
  return s;
}

}  // namespace loadgen
