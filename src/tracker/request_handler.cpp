#include "tracker/request_handler.h"

#include "log/log.h"

namespace lattice {
namespace {

// The per-connection bounds a request must stay within. A request that would
// cross one is dropped like malformed input (no reply, nothing registered):
// the connection and what it registered before stay as they are, so a client
// within the bounds never notices them. `newId`: the connection has not
// announced the id yet; `added`: what the request would add to its registry bytes.
bool WithinLimits(Tracker& tracker, Connection& connection, const GetPeersRequest& request, const PeerId& id,
                  bool newId, std::int64_t added) {
  const Limits& limits = tracker.limits;
  const char* what = nullptr;
  LimitKind kind = kLimitKinds;
  if (request.la.length > limits.maxLocalAddressBytes || request.laList.length > limits.maxLocalAddressBytes) {
    kind = kLimitLocalAddress;
    what = "local address value over the size limit";
  } else if (newId) {
    if (connection.registrations.size() >= limits.maxPeerIdsPerConnection) {
      kind = kLimitPeerIds;
      what = "peer ids on one connection over the limit";
    } else if (const std::vector<Connection*>* others = tracker.registry.FindPeerConnections(id);
               others != nullptr && others->size() >= limits.maxConnectionsPerPeerId) {
      kind = kLimitPerPeerId;
      what = "connections of one peer id over the limit";
    }
  }
  if (kind == kLimitKinds && added > 0 &&
      connection.registryBytes + added > static_cast<std::int64_t>(limits.maxRegistryBytesPerConnection)) {
    kind = kLimitRegistryBytes;
    what = "registry bytes of one connection over the limit";
  }
  if (kind == kLimitKinds) return true;
  tracker.stats.CountLimitHit(kind);
  LogLimited(tracker.droppedRequestLines, "request dropped: %s", what);
  return false;
}

// Growing a peer's records grows every connection bound to it. One that ends
// up over the limit lets go of the peer rather than refuse its other clients:
// otherwise a client could leave records with one connection that stays and
// add more from connections that come and go, the stayer keeping them all.
void ShedOverLimit(Tracker& tracker, const Connection& requester, const PeerId& id) {
  const auto limit = static_cast<std::int64_t>(tracker.limits.maxRegistryBytesPerConnection);
  const std::size_t shed = tracker.registry.ShedOverLimit(id, requester, limit);
  if (shed == 0) return;
  tracker.stats.limitHits[kLimitRegistryBytes] += shed;
  LogLimited(tracker.shedPeerIdLines, "peer id unbound from %llu connection(s) over the registry bytes limit",
             static_cast<unsigned long long>(shed));
}

// Registers or refreshes the requester and binds it to the connection.
void BindRequester(Tracker& tracker, Connection& connection, const ShareId& share, PeerRecord& requester,
                   std::int64_t cost) {
  tracker.registry.BindPeer(connection, share, requester);
  connection.requested = true;
  if (cost > 0) ShedOverLimit(tracker, connection, requester.id);
}

// The request as the cluster's registry answered it: registered here as
// well, so this node can answer alone when the engine cannot.
EncodedMessage AnswerFromShared(Tracker& tracker, Connection& connection, const GetPeersRequest& request,
                                const ShareId& share, PeerRecord* existing, std::int64_t cost,
                                const CompactAddress& peerAddress) {
  PeerRecord* requester = tracker.registry.RegisterPeer(request, share, existing);
  requester->sharedAt = static_cast<std::uint32_t>(tracker.now);
  BindRequester(tracker, connection, share, *requester, cost);
  return tracker.shared->EncodeAnswer(tracker, connection, request, *requester, peerAddress);
}

}  // namespace

void SendIntroduction(Tracker& tracker, Connection& target, const std::uint8_t* data, std::size_t length) {
  if (target.Send(data, length)) {
    tracker.stats.CountPeersSent(target.Kind());
  } else {
    ++tracker.stats.introductionsDropped[length > kMaxOutboundBytes ? kDropTooLarge : kDropRingFull];
  }
}

EncodedMessage HandleMessage(Tracker& tracker, Connection& connection, const std::uint8_t* message,
                             std::uint64_t totalLength, const CompactAddress& peerAddress) {
  const std::int64_t time = tracker.now;
  GetPeersRequest request;
  if (!ParseGetPeers(message, totalLength, request) || request.type != RequestType::GetPeers) return {};
  // A request handled again with the cluster's answer was counted and
  // checked when it was asked.
  const bool answered = connection.engineWait == EngineWait::Answered;
  if (answered) connection.engineWait = EngineWait::None;
  if (!answered) tracker.stats.CountGetPeers(connection.Kind());
  if (request.shareLength != 20 && request.shareLength != 32) return {};
  if (request.peer == nullptr) return {};

  PeerRegistry& registry = tracker.registry;
  const ShareId share = ShareId::From(request.share, request.shareLength);
  const PeerId id = PeerId::From(request.peer);
  PeerRecord* existing = registry.FindPeerRecord(share, id);
  const std::int64_t cost = PeerRegistry::RegistrationCost(request, existing);
  // Binding a new id takes on the records other connections made for it.
  const bool newId = connection.registrations.count(id) == 0;
  const std::int64_t added = cost + (newId ? registry.PeerBytes(id) : 0);
  if (!answered && !WithinLimits(tracker, connection, request, id, newId, added)) return {};

  if (tracker.shared != nullptr) {
    if (!answered) {
      if (tracker.shared->Ask(tracker, connection, request, share, id)) return {};
    } else {
      switch (tracker.shared->Answer(connection)) {
        case SharedAnswer::Listed:
          return AnswerFromShared(tracker, connection, request, share, existing, cost, peerAddress);
        case SharedAnswer::Refused:
          tracker.stats.CountLimitHit(kLimitPerPeerId);
          LogLimited(tracker.droppedRequestLines, "request dropped: %s",
                     "connections of one peer id over the limit across the cluster");
          return {};
        case SharedAnswer::Missing:
          break;
      }
    }
  }

  // The draw must see a new record in its share, so it joins first and is
  // taken back when the draw fails; a refresh waits for the draw. Either way
  // a failed draw leaves the registry as it was.
  PeerRecord* requester = existing != nullptr ? existing : registry.RegisterPeer(request, share, nullptr);
  const std::vector<PeerRecord*>* selection = nullptr;
  if (!registry.SelectPeers(share, *requester, request.pwl, &selection)) {
    if (existing == nullptr) registry.WithdrawNewPeer(request, share);
    return {};
  }
  // Refreshing moves no record, so the selection stays valid.
  if (existing != nullptr) registry.RegisterPeer(request, share, existing);
  BindRequester(tracker, connection, share, *requester, cost);
  // The call was made and answered here (too late, or its link broke): a
  // late call still writes its part, extended like any other while the peer
  // stays; a touch of a part never written does nothing.
  if (answered) requester->sharedAt = static_cast<std::uint32_t>(time);

  if (!selection->empty()) {
    EncodedMessage intro = EncodePeersMessage(tracker.replyBuffer, registry, PeersMode::Introduce, request,
                                              *requester, peerAddress, *selection, time);
    if (intro.length != 0) {
      for (PeerRecord* chosen : *selection) {
        const std::vector<Connection*>* connections = registry.PeerConnectionsOf(*chosen);
        if (connections == nullptr) continue;
        for (Connection* target : *connections) SendIntroduction(tracker, *target, intro.data, intro.length);
      }
    }
  }
  return EncodePeersMessage(tracker.replyBuffer, registry, PeersMode::Reply, request, *requester, peerAddress,
                            *selection, time);
}

}  // namespace lattice
