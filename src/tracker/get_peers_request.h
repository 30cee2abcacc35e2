// Decoding of "get_peers" request bodies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>

#include "tracker/peer_ids.h"

namespace lattice {

struct ByteView {
  const std::uint8_t* data = nullptr;
  std::uint64_t length = 0;
  bool empty() const { return length == 0; }
};

enum class RequestType { Unset, GetPeers };

// Views point into the message being handled and live only as long as it;
// only the "pwl" ids are copied.
struct GetPeersRequest {
  RequestType type = RequestType::Unset;
  ByteView la;
  ByteView laList;
  const std::uint8_t* peer = nullptr;
  const std::uint8_t* share = nullptr;
  std::uint32_t shareLength = 0;
  std::uint32_t lp = 0;
  std::uint32_t up = 0;
  std::uint32_t pv = 0;
  std::set<PeerId> pwl;
};

// Decodes one whole framed message (prefix included, totalLength = N + 4)
// into a zeroed request. True means well-formed, not necessarily "get_peers".
bool ParseGetPeers(const std::uint8_t* message, std::uint64_t totalLength, GetPeersRequest& request);

}  // namespace lattice
