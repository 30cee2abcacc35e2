// The in-memory registry: peers per share, shares per peer, connections per peer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "tracker/get_peers_request.h"
#include "tracker/peer_ids.h"

namespace lattice {

class Socket;

// An owned copy of a raw encoded value; empty when absent.
struct OwnedBytes {
  std::unique_ptr<std::uint8_t[]> data;
  std::uint64_t length = 0;
  bool empty() const { return length == 0; }
  void Assign(const ByteView& view);
};

struct PeerRecord {
  PeerId id;
  std::uint16_t lp = 0;  // network byte order
  std::uint16_t up = 0;  // network byte order
  std::uint32_t pv = 0;
  OwnedBytes la;
  OwnedBytes laList;
  // The peer's connection list once this record is bound in its share (the
  // list outlives the record then); saves a table lookup per listed peer.
  const std::vector<Socket*>* connections = nullptr;
};

// The peer's record in the share, or null. A request looks it up once and
// hands it to RegistrationCost and RegisterPeer.
PeerRecord* FindPeerRecord(const ShareId& share, const PeerId& id);

// Registry bytes that registering this request would add (negative when it
// shrinks the existing record): what a connection is charged for it.
std::int64_t RegistrationCost(const GetPeersRequest& request, const PeerRecord* existing);

// Refreshes the requester's existing record in the share, as FindPeerRecord
// gave it, or adds a new one when it is null; returns the record.
PeerRecord* RegisterPeer(const GetPeersRequest& request, const ShareId& share, PeerRecord* existing);
inline PeerRecord* RegisterPeer(const GetPeersRequest& request, const ShareId& share) {
  return RegisterPeer(request, share, FindPeerRecord(share, PeerId::From(request.peer)));
}

// Chooses up to 15 other peers. False when the random source failed; the
// selection is then empty. The list lives in scratch storage until the next call.
bool SelectPeers(const ShareId& share, const PeerRecord& requester, const std::set<PeerId>& pwl,
                 const std::vector<PeerRecord*>** selection);

void BindPeer(Socket& socket, const ShareId& share, PeerRecord& record);
void UnbindPeer(Socket& socket, const PeerId& peer);

// The connections that announced a peer, in order of binding; null when none.
const std::vector<Socket*>* FindPeerConnections(const PeerId& peer);
// The same for the peer of a record, without a lookup when it is bound.
inline const std::vector<Socket*>* PeerConnectionsOf(const PeerRecord& record) {
  return record.connections != nullptr ? record.connections : FindPeerConnections(record.id);
}

// Read-only views for tests and diagnostics.
const std::vector<PeerRecord*>* FindShareRecords(const ShareId& share);
const std::vector<ShareId>* FindPeerShares(const PeerId& peer);
std::size_t ShareCount();

// The selection's source of random bytes; tests inject a deterministic one.
using RandomSource = bool (*)(std::uint8_t* buffer, std::size_t size);
void SetRandomSource(RandomSource source);
void ResetRegistry();

}  // namespace lattice
