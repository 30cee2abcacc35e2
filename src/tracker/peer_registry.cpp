#include "tracker/peer_registry.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <unordered_map>

#include "log/log.h"
#include "net/socket.h"
#include "platform/random_source.h"
#include "tracker/indexed_list.h"

namespace lattice {
namespace {

struct RecordId {
  const PeerId& operator()(const std::unique_ptr<PeerRecord>& r) const { return r->id; }
};
struct SameShare {
  const ShareId& operator()(const ShareId& s) const { return s; }
};
struct SameSocket {
  Socket* operator()(Socket* s) const { return s; }
};
struct SocketHash {
  std::size_t operator()(Socket* s) const { return std::hash<Socket*>{}(s); }
};

using ShareRecords = IndexedList<std::unique_ptr<PeerRecord>, PeerId, RecordId, PeerIdHash>;
using ShareList = IndexedList<ShareId, ShareId, SameShare, ShareIdHash>;
using ConnectionList = IndexedList<Socket*, Socket*, SameSocket, SocketHash>;

struct Registry {
  std::unordered_map<ShareId, ShareRecords, ShareIdHash> shareTable;
  std::unordered_map<PeerId, ShareList, PeerIdHash> peerShares;
  std::unordered_map<PeerId, ConnectionList, PeerIdHash> peerConnections;
  // Views of the record lists for callers outside this file; rebuilt lazily.
  std::vector<PeerRecord*> recordView;
};

Registry& State() {
  static Registry registry;
  return registry;
}

// 1024 random bytes spent 8 at a time; starts exhausted so the first draw fills it.
struct RandomPool {
  std::uint8_t bytes[1024];
  std::size_t position = sizeof bytes;
  RandomSource source = platform::FillRandomBytes;

  bool Draw(std::uint64_t& value) {
    if (position + 8 > sizeof bytes) {
      if (!source(bytes, sizeof bytes)) return false;
      position = 0;
    }
    value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[position + static_cast<std::size_t>(i)];
    position += 8;
    return true;
  }
};

RandomPool& Pool() {
  static RandomPool pool;
  return pool;
}

constexpr std::size_t kMaxListed = 15;

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

// Draws distinct indices below n and appends the chosen candidates, in draw
// order, leaving out the requester.
template <typename CandidateAt>
bool Sample(std::size_t n, const PeerRecord& requester, CandidateAt candidateAt,
            std::vector<PeerRecord*>& out) {
  std::size_t drawn[kMaxListed];
  std::size_t held = 0;
  while (held < kMaxListed) {
    std::uint64_t r;
    if (!Pool().Draw(r)) {
      out.clear();
      return false;
    }
    std::size_t index = static_cast<std::size_t>(r % n);
    if (std::find(drawn, drawn + held, index) != drawn + held) continue;
    drawn[held++] = index;
  }
  for (std::size_t i = 0; i < held; ++i) {
    PeerRecord* candidate = candidateAt(drawn[i]);
    if (!(candidate->id == requester.id)) out.push_back(candidate);
  }
  return true;
}

}  // namespace

void OwnedBytes::Assign(const ByteView& view) {
  data.reset();
  length = 0;
  if (view.empty()) return;
  data.reset(new (std::nothrow) std::uint8_t[view.length]);
  if (data == nullptr) return;  // registration goes on without the field
  std::memcpy(data.get(), view.data, view.length);
  length = view.length;
}

PeerRecord* FindPeerRecord(const ShareId& share, const PeerId& id) {
  auto records = State().shareTable.find(share);
  if (records == State().shareTable.end()) return nullptr;
  std::size_t at = records->second.Find(id);
  return at == ShareRecords::kNotFound ? nullptr : records->second[at].get();
}

std::int64_t RegistrationCost(const GetPeersRequest& request, const PeerRecord* existing) {
  // What a new record costs beyond its addresses: the record, its slot and
  // index entry in the share, and the share and connection list entries.
  constexpr std::int64_t kRecordOverhead = static_cast<std::int64_t>(sizeof(PeerRecord)) + 96;
  const auto added = static_cast<std::int64_t>(request.la.length + request.laList.length);
  if (existing == nullptr) return kRecordOverhead + added;
  return added - static_cast<std::int64_t>(existing->la.length + existing->laList.length);
}

PeerRecord* RegisterPeer(const GetPeersRequest& request, const ShareId& share, PeerRecord* existing) {
  if (existing != nullptr) {
    Refresh(*existing, request);
    return existing;
  }
  auto record = std::make_unique<PeerRecord>();
  record->id = PeerId::From(request.peer);
  Refresh(*record, request);
  PeerRecord* raw = record.get();
  State().shareTable[share].Append(std::move(record));
  return raw;
}

bool SelectPeers(const ShareId& share, const PeerRecord& requester, const std::set<PeerId>& pwl,
                 const std::vector<PeerRecord*>** selection) {
  static std::vector<PeerRecord*> result = [] {
    std::vector<PeerRecord*> v;
    v.reserve(kMaxListed);
    return v;
  }();
  static std::vector<std::pair<std::size_t, PeerRecord*>> candidates;
  result.clear();
  *selection = &result;
  ShareRecords& records = State().shareTable[share];

  if (pwl.empty()) {
    std::size_t n = records.Size();
    if (n <= kMaxListed) {
      for (std::size_t i = 0; i < n; ++i)
        if (!(records[i]->id == requester.id)) result.push_back(records[i].get());
      return true;
    }
    return Sample(n, requester, [&](std::size_t i) { return records[i].get(); }, result);
  }

  // Candidates in list order: look the named ids up when they are fewer than
  // the share's records, otherwise walk the records.
  candidates.clear();
  if (pwl.size() < records.Size()) {
    for (const PeerId& id : pwl) {
      std::size_t at = records.Find(id);
      if (at != ShareRecords::kNotFound) candidates.emplace_back(at, records[at].get());
    }
    std::sort(candidates.begin(), candidates.end());
  } else {
    for (std::size_t i = 0; i < records.Size(); ++i)
      if (pwl.count(records[i]->id) != 0) candidates.emplace_back(i, records[i].get());
  }
  std::size_t n = candidates.size();
  if (n <= kMaxListed) {
    for (auto& c : candidates)
      if (!(c.second->id == requester.id)) result.push_back(c.second);
    return true;
  }
  return Sample(n, requester, [&](std::size_t i) { return candidates[i].second; }, result);
}

void BindPeer(Socket& socket, const ShareId& share, PeerRecord& record) {
  // A socket holds an id in its registrations exactly when it is in that
  // peer's connection list, so the set answers whether to append.
  bool newOnSocket = socket.registrations.insert(record.id).second;
  if (newOnSocket) {
    static LogLimiter newPeerIdLines;  // any client can announce ids at will
    LogLimited(newPeerIdLines, "got new peer id for the connection");
  }
  ShareList& shares = State().peerShares[record.id];
  if (shares.Find(share) == ShareList::kNotFound) shares.Append(share);
  ConnectionList& connections = State().peerConnections[record.id];
  if (newOnSocket || connections.Find(&socket) == ConnectionList::kNotFound) {
    connections.Append(&socket);
  }
  // Bound here, the record is removed with the peer before this list goes.
  record.connections = &connections.Items();
}

void UnbindPeer(Socket& socket, const PeerId& peer) {
  Registry& state = State();
  auto connections = state.peerConnections.find(peer);
  if (connections == state.peerConnections.end()) return;
  std::size_t at = connections->second.Find(&socket);
  if (at != ConnectionList::kNotFound) connections->second.RemoveAt(at);
  if (!connections->second.Empty()) return;
  state.peerConnections.erase(connections);

  auto shares = state.peerShares.find(peer);
  if (shares == state.peerShares.end()) return;
  for (const ShareId& share : shares->second.Items()) {
    auto records = state.shareTable.find(share);
    if (records == state.shareTable.end()) continue;
    std::size_t position = records->second.Find(peer);
    if (position != ShareRecords::kNotFound) records->second.RemoveAt(position);
    // An empty share holds nothing observable; a later registration makes
    // it again, so its entry goes rather than staying for good.
    if (records->second.Empty()) state.shareTable.erase(records);
  }
  state.peerShares.erase(shares);
}

const std::vector<Socket*>* FindPeerConnections(const PeerId& peer) {
  auto it = State().peerConnections.find(peer);
  return it == State().peerConnections.end() ? nullptr : &it->second.Items();
}

const std::vector<PeerRecord*>* FindShareRecords(const ShareId& share) {
  auto it = State().shareTable.find(share);
  if (it == State().shareTable.end()) return nullptr;
  auto& view = State().recordView;
  view.clear();
  for (const auto& record : it->second.Items()) view.push_back(record.get());
  return &view;
}

const std::vector<ShareId>* FindPeerShares(const PeerId& peer) {
  auto it = State().peerShares.find(peer);
  return it == State().peerShares.end() ? nullptr : &it->second.Items();
}

std::size_t ShareCount() { return State().shareTable.size(); }

void SetRandomSource(RandomSource source) {
  Pool().source = source != nullptr ? source : platform::FillRandomBytes;
  Pool().position = sizeof Pool().bytes;
}

void ResetRegistry() {
  Registry& state = State();
  state.shareTable.clear();
  state.peerShares.clear();
  state.peerConnections.clear();
  Pool().position = sizeof Pool().bytes;
}

}  // namespace lattice
