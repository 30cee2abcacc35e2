// Encoding of "peers" messages: the reply to a requester, and the
// introduction of the requester to the peers it was given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "net/socket.h"
#include "tracker/get_peers_request.h"
#include "tracker/peer_registry.h"

namespace lattice {

enum class PeersMode { Reply, Introduce };
enum class AddressForm { Keyed, TcpItem, UtpItem };

struct EncodedMessage {
  const std::uint8_t* data = nullptr;
  std::size_t length = 0;
};

// Encodes into ReplyBuffer. Reply lists the selection; Introduce lists the
// requester with the address of the connection the request came over.
EncodedMessage EncodePeersMessage(PeersMode mode, const GetPeersRequest& request,
                                  const PeerRecord& requester, const AddressStorage& address,
                                  int kind, const std::vector<PeerRecord*>& selection,
                                  std::int64_t time);

void EncodePeerEntry(const PeerRecord& record, const AddressStorage* address, int kind);
void EncodeAddress(const AddressStorage& address, AddressForm form, int kind);

}  // namespace lattice
