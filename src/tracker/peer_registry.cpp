#include "tracker/peer_registry.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "log/log.h"
#include "platform/random_source.h"
#include "tracker/connection.h"

namespace lattice {
namespace {

std::uint16_t LowSixteenBitsInNetworkOrder(std::uint32_t value) {
  auto v = static_cast<std::uint16_t>(value);
  std::uint8_t be[2] = {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
  std::uint16_t stored;
  std::memcpy(&stored, be, 2);
  return stored;
}

void Refresh(PeerRecord& record, const GetPeersRequest& request) {
  record.lp = LowSixteenBitsInNetworkOrder(request.lp);
  record.up = LowSixteenBitsInNetworkOrder(request.up);
  record.pv = request.pv;
  record.la.Assign(request.la);
  record.laList.Assign(request.laList);
}

}  // namespace

void OwnedBytes::Assign(const ByteView& view) {
  Free();
  if (view.empty()) return;
  if (view.length <= kInline) {
    std::memcpy(stored.inside, view.data, view.length);
  } else {
    stored.heap = new (std::nothrow) std::uint8_t[view.length];
    if (stored.heap == nullptr) return;
    std::memcpy(stored.heap, view.data, view.length);
  }
  length = view.length;
}

PeerRegistry::PeerRegistry() : randomSource(platform::FillRandomBytes) { selected.reserve(kMaxListed); }

bool PeerRegistry::Draw(std::uint64_t& value) {
  if (poolPosition + 8 > kPoolBytes) {
    if (!randomSource(pool, kPoolBytes)) return false;
    poolPosition = 0;
  }
  value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | pool[poolPosition + static_cast<std::size_t>(i)];
  poolPosition += 8;
  return true;
}

// Draws distinct indices below n and appends the chosen candidates, in draw
// order, leaving out the requester.
template <typename CandidateAt>
bool PeerRegistry::Sample(std::size_t n, const PeerRecord& requester, CandidateAt candidateAt) {
  std::size_t drawn[kMaxListed];
  std::size_t held = 0;
  while (held < kMaxListed) {
    std::uint64_t r;
    if (!Draw(r)) {
      selected.clear();
      return false;
    }
    std::size_t index = static_cast<std::size_t>(r % n);
    if (std::find(drawn, drawn + held, index) != drawn + held) continue;
    drawn[held++] = index;
  }
  for (std::size_t i = 0; i < held; ++i) {
    PeerRecord* candidate = candidateAt(drawn[i]);
    if (!(candidate->id == requester.id)) selected.push_back(candidate);
  }
  return true;
}

PeerRecord* PeerRegistry::FindPeerRecord(const ShareId& share, const PeerId& id) {
  auto records = shareTable.find(share);
  if (records == shareTable.end()) return nullptr;
  std::size_t at = records->second.Find(id);
  return at == ShareRecords::kNotFound ? nullptr : &records->second.At(at);
}

std::int64_t PeerRegistry::RegistrationCost(const GetPeersRequest& request, const PeerRecord* existing) {
  // What a new record costs beyond its addresses: the record in its share's
  // list and its index entry, and the share and connection list entries.
  constexpr std::int64_t kRecordOverhead = static_cast<std::int64_t>(sizeof(PeerRecord)) + 96;
  const auto added = static_cast<std::int64_t>(request.la.length + request.laList.length);
  if (existing == nullptr) return kRecordOverhead + added;
  return added - static_cast<std::int64_t>(existing->la.length + existing->laList.length);
}

std::int64_t PeerRegistry::PeerBytes(const PeerId& peer) const {
  auto it = peerShares.find(peer);
  return it == peerShares.end() ? 0 : it->second.bytes;
}

PeerRecord* PeerRegistry::RegisterPeer(const GetPeersRequest& request, const ShareId& share, PeerRecord* existing) {
  const PeerId id = PeerId::From(request.peer);
  if (const std::int64_t cost = RegistrationCost(request, existing); cost != 0) {
    peerShares[id].bytes += cost;
    auto connections = peerConnections.find(id);
    if (connections != peerConnections.end())
      for (Connection* c : connections->second.Items()) c->registryBytes += cost;
  }
  if (existing != nullptr) {
    Refresh(*existing, request);
    return existing;
  }
  PeerRecord record;
  record.id = id;
  Refresh(record, request);
  ShareRecords& records = shareTable[share];
  records.Append(std::move(record));
  ++recordCount;
  return &records.At(records.Size() - 1);
}

void PeerRegistry::WithdrawNewPeer(const GetPeersRequest& request, const ShareId& share) {
  const PeerId id = PeerId::From(request.peer);
  auto records = shareTable.find(share);
  if (records == shareTable.end()) return;
  const std::size_t at = records->second.Find(id);
  if (at == ShareRecords::kNotFound) return;
  records->second.RemoveAt(at);  // the last one, so no other record moves
  --recordCount;
  if (records->second.Empty()) shareTable.erase(records);
  const std::int64_t cost = RegistrationCost(request, nullptr);
  auto peer = peerShares.find(id);
  if (peer != peerShares.end()) {
    peer->second.bytes -= cost;
    // Records always cost something, so an entry left with no bytes and no
    // share held only this record.
    if (peer->second.bytes == 0 && peer->second.shares.Empty()) peerShares.erase(peer);
  }
  auto connections = peerConnections.find(id);
  if (connections != peerConnections.end())
    for (Connection* c : connections->second.Items()) c->registryBytes -= cost;
}

bool PeerRegistry::SelectPeers(const ShareId& share, const PeerRecord& requester, const std::set<PeerId>& pwl,
                               const std::vector<PeerRecord*>** selection) {
  selected.clear();
  *selection = &selected;
  ShareRecords& records = shareTable[share];

  if (pwl.empty()) {
    std::size_t n = records.Size();
    if (n <= kMaxListed) {
      for (std::size_t i = 0; i < n; ++i)
        if (!(records[i].id == requester.id)) selected.push_back(&records.At(i));
      return true;
    }
    return Sample(n, requester, [&](std::size_t i) { return &records.At(i); });
  }

  // Candidates in list order: look the named ids up when they are fewer than
  // the share's records, otherwise walk the records.
  candidates.clear();
  if (pwl.size() < records.Size()) {
    for (const PeerId& id : pwl) {
      std::size_t at = records.Find(id);
      if (at != ShareRecords::kNotFound) candidates.emplace_back(at, &records.At(at));
    }
    std::sort(candidates.begin(), candidates.end());
  } else {
    for (std::size_t i = 0; i < records.Size(); ++i)
      if (pwl.count(records[i].id) != 0) candidates.emplace_back(i, &records.At(i));
  }
  std::size_t n = candidates.size();
  if (n <= kMaxListed) {
    for (auto& c : candidates)
      if (!(c.second->id == requester.id)) selected.push_back(c.second);
    return true;
  }
  return Sample(n, requester, [&](std::size_t i) { return candidates[i].second; });
}

void PeerRegistry::BindPeer(Connection& connection, const ShareId& share, PeerRecord& record) {
  // A connection holds an id in its registrations exactly when it is in that
  // peer's connection list, so the set answers whether to append.
  bool newOnConnection = connection.registrations.insert(record.id).second;
  // A repeat announcement: a bound record's share is among the peer's shares
  // until the record goes, and the connection is in the peer's list, so the
  // two table lookups below would change nothing.
  if (!newOnConnection && record.connections != nullptr) return;
  if (newOnConnection) {
    LogLimited(newPeerIdLines, "got new peer id for the connection");
  }
  PeerShares& peer = peerShares[record.id];
  if (peer.shares.Find(share) == ShareList::kNotFound) peer.shares.Append(share);
  if (newOnConnection) connection.registryBytes += peer.bytes;
  ConnectionList& connections = peerConnections[record.id];
  if (newOnConnection || connections.Find(&connection) == ConnectionList::kNotFound) {
    connections.Append(&connection);
  }
  // Bound here, the record is removed with the peer before this list goes.
  record.connections = &connections.Items();
}

void PeerRegistry::UnbindPeer(Connection& connection, const PeerId& peer) {
  auto connections = peerConnections.find(peer);
  if (connections == peerConnections.end()) return;
  auto shares = peerShares.find(peer);
  std::size_t at = connections->second.Find(&connection);
  if (at != ConnectionList::kNotFound) {
    connections->second.RemoveAt(at);
    if (shares != peerShares.end()) connection.registryBytes -= shares->second.bytes;
  }
  if (!connections->second.Empty()) return;
  peerConnections.erase(connections);

  if (shares == peerShares.end()) return;
  for (const ShareId& share : shares->second.shares.Items()) {
    auto records = shareTable.find(share);
    if (records == shareTable.end()) continue;
    std::size_t position = records->second.Find(peer);
    if (position != ShareRecords::kNotFound) {
      records->second.RemoveAt(position);
      --recordCount;
    }
    // An empty share holds nothing observable; a later registration makes
    // it again, so its entry goes rather than staying for good.
    if (records->second.Empty()) shareTable.erase(records);
  }
  peerShares.erase(shares);
}

std::size_t PeerRegistry::ShedOverLimit(const PeerId& peer, const Connection& keep, std::int64_t limit) {
  auto connections = peerConnections.find(peer);
  if (connections == peerConnections.end()) return 0;
  ConnectionList& list = connections->second;
  std::size_t shed = 0;
  // `keep` stays in the list, so the list and its records outlive the loop.
  for (std::size_t i = 0; i < list.Size();) {
    Connection* c = list[i];
    if (c == &keep || c->registryBytes <= limit) {
      ++i;
      continue;
    }
    c->registrations.erase(peer);
    UnbindPeer(*c, peer);  // moves the last connection into position i
    ++shed;
  }
  return shed;
}

void PeerRegistry::UnbindConnection(Connection& connection) {
  // UnbindPeer never touches this set, so walking it here is safe.
  for (const PeerId& id : connection.registrations) UnbindPeer(connection, id);
}

const std::vector<Connection*>* PeerRegistry::FindPeerConnections(const PeerId& peer) const {
  auto it = peerConnections.find(peer);
  return it == peerConnections.end() ? nullptr : &it->second.Items();
}

const std::vector<PeerRecord*>* PeerRegistry::FindShareRecords(const ShareId& share) {
  auto it = shareTable.find(share);
  if (it == shareTable.end()) return nullptr;
  recordView.clear();
  for (std::size_t i = 0; i < it->second.Size(); ++i) recordView.push_back(&it->second.At(i));
  return &recordView;
}

const std::vector<ShareId>* PeerRegistry::FindPeerShares(const PeerId& peer) const {
  auto it = peerShares.find(peer);
  // An entry with no share holds only the bytes of a record not yet bound.
  return it == peerShares.end() || it->second.shares.Empty() ? nullptr : &it->second.shares.Items();
}

void PeerRegistry::SetRandomSource(RandomSource source) {
  randomSource = source != nullptr ? source : platform::FillRandomBytes;
  poolPosition = kPoolBytes;
}

}  // namespace lattice
