// The in-memory registry: peers per share, shares per peer, connections per peer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "log/log.h"
#include "tracker/get_peers_request.h"
#include "tracker/indexed_list.h"
#include "tracker/peer_ids.h"

namespace lattice {

class Connection;

// An owned copy of a raw encoded value; empty when absent.
// A record's la or la_list, byte for byte. A value of up to 8 bytes (an IPv4
// address and port as a peer sends it, "6:" and 6 bytes) lives in the record
// itself, so listing the peer reads it without another cache miss; a longer
// one lives on the heap. Either way the object is a pointer and a length.
class OwnedBytes {
 public:
  static constexpr std::uint64_t kInline = 8;

  OwnedBytes() = default;
  OwnedBytes(OwnedBytes&& other) noexcept : length(other.length) {
    stored = other.stored;
    other.length = 0;
  }
  OwnedBytes& operator=(OwnedBytes&& other) noexcept {
    if (this != &other) {
      Free();
      stored = other.stored;
      length = other.length;
      other.length = 0;
    }
    return *this;
  }
  ~OwnedBytes() { Free(); }

  bool empty() const { return length == 0; }
  const std::uint8_t* data() const { return length <= kInline ? stored.inside : stored.heap; }
  // Keeps nothing when the heap has no room: registration goes on without it.
  void Assign(const ByteView& view);

  std::uint64_t length = 0;

 private:
  void Free() {
    if (length > kInline) delete[] stored.heap;
    length = 0;
  }
  union Stored {
    std::uint8_t* heap;
    std::uint8_t inside[kInline];
  } stored{};
};

struct PeerRecord {
  PeerId id;
  std::uint16_t lp = 0;  // network byte order
  std::uint16_t up = 0;  // network byte order
  std::uint32_t pv = 0;
  // Cluster mode: the loop second (truncated) of this node's last write of
  // the record to the shared registry, 0 for never. Fills padding.
  std::uint32_t sharedAt = 0;
  OwnedBytes la;
  OwnedBytes laList;
  // The peer's connection list once this record is bound in its share (the
  // list outlives the record then); saves a table lookup per listed peer.
  const std::vector<Connection*>* connections = nullptr;
};

// The selection's source of random bytes; tests inject a deterministic one.
using RandomSource = bool (*)(std::uint8_t* buffer, std::size_t size);

// Peers per share, shares per peer, connections per peer.
class PeerRegistry {
 public:
  PeerRegistry();

  // The peer's record in the share, or null. A request looks it up once and
  // hands it to RegistrationCost and RegisterPeer.
  PeerRecord* FindPeerRecord(const ShareId& share, const PeerId& id);

  // Registry bytes that registering this request would add (negative when it
  // shrinks the existing record).
  static std::int64_t RegistrationCost(const GetPeersRequest& request, const PeerRecord* existing);
  // Registry bytes of the peer's records over all its shares. They count in
  // full against every connection bound to the peer (its registryBytes),
  // since any one of them keeps them all.
  std::int64_t PeerBytes(const PeerId& peer) const;

  // Refreshes the requester's existing record in the share, as FindPeerRecord
  // gave it, or adds a new one when it is null; returns the record. What it
  // costs is charged to the peer and to the connections bound to it.
  PeerRecord* RegisterPeer(const GetPeersRequest& request, const ShareId& share, PeerRecord* existing);
  PeerRecord* RegisterPeer(const GetPeersRequest& request, const ShareId& share) {
    return RegisterPeer(request, share, FindPeerRecord(share, PeerId::From(request.peer)));
  }

  // Takes back the record RegisterPeer just added for this request, before
  // anything else changed the share or bound the record: the record, its
  // share if it made it, and what it charged all go.
  void WithdrawNewPeer(const GetPeersRequest& request, const ShareId& share);

  // Chooses up to 15 other peers. False when the random source failed; the
  // selection is then empty. The list lives in scratch storage until the next call.
  bool SelectPeers(const ShareId& share, const PeerRecord& requester, const std::set<PeerId>& pwl,
                   const std::vector<PeerRecord*>** selection);

  void BindPeer(Connection& connection, const ShareId& share, PeerRecord& record);
  void UnbindPeer(Connection& connection, const PeerId& peer);
  // Unbinds the peer from each connection but `keep` whose registryBytes
  // exceed the limit; returns how many. Those connections stop keeping the
  // peer's records, which `keep` now holds.
  std::size_t ShedOverLimit(const PeerId& peer, const Connection& keep, std::int64_t limit);
  // Every id the connection announced, in the order announced: its close.
  void UnbindConnection(Connection& connection);

  // The connections that announced a peer, in order of binding; null when none.
  const std::vector<Connection*>* FindPeerConnections(const PeerId& peer) const;
  // The same for the peer of a record, without a lookup when it is bound.
  const std::vector<Connection*>* PeerConnectionsOf(const PeerRecord& record) const {
    return record.connections != nullptr ? record.connections : FindPeerConnections(record.id);
  }

  // Read-only views for tests and diagnostics.
  const std::vector<PeerRecord*>* FindShareRecords(const ShareId& share);
  const std::vector<ShareId>* FindPeerShares(const PeerId& peer) const;
  std::size_t ShareCount() const { return shareTable.size(); }
  // Distinct peer ids with a connection bound, and records over all shares
  // (one per peer and share it announced).
  std::size_t PeerCount() const { return peerConnections.size(); }
  std::size_t RecordCount() const { return recordCount; }

  void SetRandomSource(RandomSource source);

 private:
  struct RecordId {
    const PeerId& operator()(const PeerRecord& r) const { return r.id; }
  };
  struct SameShare {
    const ShareId& operator()(const ShareId& s) const { return s; }
  };
  struct SameConnection {
    Connection* operator()(Connection* c) const { return c; }
  };
  struct ConnectionHash {
    std::size_t operator()(Connection* c) const { return std::hash<Connection*>{}(c); }
  };
  // Records live in their share's list, not behind a pointer each: a sample
  // of 15 from a large share reads 15 records, not 15 slots and 15 records.
  // A record moves when another is removed, so pointers to records last
  // only for the request that took them.
  using ShareRecords = IndexedList<PeerRecord, PeerId, RecordId, PeerIdHash>;
  using ShareList = IndexedList<ShareId, ShareId, SameShare, ShareIdHash>;
  using ConnectionList = IndexedList<Connection*, Connection*, SameConnection, ConnectionHash>;

  static constexpr std::size_t kMaxListed = 15;
  static constexpr std::size_t kPoolBytes = 1024;

  bool Draw(std::uint64_t& value);
  template <typename CandidateAt>
  bool Sample(std::size_t n, const PeerRecord& requester, CandidateAt candidateAt);

  std::unordered_map<ShareId, ShareRecords, ShareIdHash> shareTable;
  struct PeerShares {
    ShareList shares;
    std::int64_t bytes = 0;  // see PeerBytes
  };
  std::unordered_map<PeerId, PeerShares, PeerIdHash> peerShares;
  std::unordered_map<PeerId, ConnectionList, PeerIdHash> peerConnections;
  std::size_t recordCount = 0;
  LogLimiter newPeerIdLines;  // any client can announce ids at will
  // Views of the record lists for callers outside this class; rebuilt lazily.
  std::vector<PeerRecord*> recordView;
  // SelectPeers' result and candidates, reused so a request allocates nothing.
  std::vector<PeerRecord*> selected;
  std::vector<std::pair<std::size_t, PeerRecord*>> candidates;
  // Random bytes spent 8 at a time; starts exhausted so the first draw fills it.
  RandomSource randomSource;
  std::uint8_t pool[kPoolBytes];
  std::size_t poolPosition = kPoolBytes;
};

}  // namespace lattice
