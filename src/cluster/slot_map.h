// What the engine's answers say about where slots live: CLUSTER SLOTS, and
// the MOVED and ASK redirections.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct redisReply;

namespace lattice::cluster {

struct SlotRange {
  std::uint16_t first = 0;
  std::uint16_t last = 0;
  std::string host;
  std::uint16_t port = 0;
};

// The primaries of CLUSTER SLOTS' answer. A node that does not know its own
// address reports it empty (or "?"): it is then the node asked, askedHost.
// False when the answer is not a slot table.
bool ParseClusterSlots(const redisReply& reply, const std::string& askedHost, std::vector<SlotRange>& out);

struct Redirect {
  bool ask = false;  // ASK: this once; MOVED: from now on
  std::uint16_t slot = 0;
  std::string host;
  std::uint16_t port = 0;
};

// "MOVED 3999 127.0.0.1:6381" or "ASK 3999 ::1:6381" (an IPv6 host comes
// without brackets: the port follows the last colon).
bool ParseRedirect(std::string_view error, Redirect& out);

}  // namespace lattice::cluster
