// The records of the shared registry as the engine stores them, read back on
// the tracker side: the shared fields, one part per node holding connections
// of the peer, and each part's description of its connections.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tracker/connection.h"
#include "tracker/get_peers_request.h"
#include "tracker/reply_buffer.h"

namespace lattice::cluster {

// One connection in a part's description: its kind, the address replies
// list for it, and the token its node resolves it with.
struct SharedConnection {
  int kind = Tcp;
  CompactAddress address;
  std::uint64_t token = 0;
};

struct SharedPart {
  std::string_view node;
  std::uint64_t epoch = 0;
  std::string_view connections;  // a description, see AppendConnection
};

struct SharedRecord {
  static constexpr std::size_t kMaxParts = 16;
  std::uint64_t lp = 0;  // host order, as the request gave it
  std::uint64_t up = 0;
  ByteView la;
  ByteView laList;
  SharedPart parts[kMaxParts];
  std::size_t partCount = 0;  // parts beyond kMaxParts are left out
};

// Decodes a listed peer as the engine returns it: the 20-byte id, then the
// record's MessagePack array (the stored expiry header left out). Views
// point into listed. False when it is not a listed peer.
inline constexpr std::size_t kListedIdBytes = 20;
bool DecodeListedPeer(std::string_view listed, SharedRecord& record);

// A connection's entry in a part's description: kind (1 byte), address size
// (0, 6 or 18), the address, the token (8 bytes, big-endian).
void AppendConnection(std::string& out, int kind, const CompactAddress& address, std::uint64_t token);
// The next connection of a description, advancing it; false at its end or at
// a malformed entry.
bool NextConnection(std::string_view& description, SharedConnection& connection);

// The peer's entry in a "peers" message, as this node would list it were
// all its connections here: the first connection's address (or `address`,
// the one an introduction names), the TCP and uTP lists over every part in
// order, the local addresses and ports, the id.
void EncodeSharedEntry(ReplyBuffer& out, const std::uint8_t* id, const SharedRecord& record,
                       const CompactAddress* address = nullptr);

}  // namespace lattice::cluster
