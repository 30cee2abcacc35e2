// Encoding of "peers" messages: the reply to a requester, and the
// introduction of the requester to the peers it was given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tracker/connection.h"
#include "tracker/get_peers_request.h"
#include "tracker/peer_registry.h"
#include "tracker/reply_buffer.h"

namespace lattice {

enum class PeersMode { Reply, Introduce };
enum class AddressForm { Keyed, TcpItem, UtpItem };

struct EncodedMessage {
  const std::uint8_t* data = nullptr;
  std::size_t length = 0;
};

// Encodes into out. Reply lists the selection; Introduce lists the requester
// with the address of the connection the request came over.
EncodedMessage EncodePeersMessage(ReplyBuffer& out, const PeerRegistry& registry, PeersMode mode,
                                  const GetPeersRequest& request,
                                  const PeerRecord& requester, const CompactAddress& address,
                                  const std::vector<PeerRecord*>& selection,
                                  std::int64_t time);

// The message around the entries, for encoders of entries of their own:
// Begin, the entries, then Finish gives the message.
void BeginPeersMessage(ReplyBuffer& out);
EncodedMessage FinishPeersMessage(ReplyBuffer& out, const GetPeersRequest& request, std::int64_t time);

void EncodePeerEntry(ReplyBuffer& out, const PeerRegistry& registry, const PeerRecord& record,
                     const CompactAddress* address);
void EncodeAddress(ReplyBuffer& out, const CompactAddress& address, AddressForm form, int kind);

}  // namespace lattice
