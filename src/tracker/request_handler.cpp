#include "tracker/request_handler.h"

#include "log/log.h"
#include "log/loop_clock.h"
#include "tracker/peer_registry.h"
#include "tracker/tracker_stats.h"

namespace lattice {
namespace {

// The per-connection bounds a request must stay within. A request that would
// cross one is dropped like malformed input (no reply, nothing registered):
// the connection and what it registered before stay as they are, so a client
// within the bounds never notices them.
bool WithinLimits(Socket& socket, const GetPeersRequest& request, const PeerId& id, std::int64_t cost) {
  static LogLimiter limiter;
  const char* what = nullptr;
  LimitKind kind = kLimitKinds;
  if (request.la.length > limits.maxLocalAddressBytes || request.laList.length > limits.maxLocalAddressBytes) {
    kind = kLimitLocalAddress;
    what = "local address value over the size limit";
  } else if (socket.registrations.count(id) == 0) {
    if (socket.registrations.size() >= limits.maxPeerIdsPerConnection) {
      kind = kLimitPeerIds;
      what = "peer ids on one connection over the limit";
    } else if (const std::vector<Socket*>* others = FindPeerConnections(id);
               others != nullptr && others->size() >= limits.maxConnectionsPerPeerId) {
      kind = kLimitPerPeerId;
      what = "connections of one peer id over the limit";
    }
  }
  if (kind == kLimitKinds && cost > 0 &&
      socket.registryBytes + cost > static_cast<std::int64_t>(limits.maxRegistryBytesPerConnection)) {
    kind = kLimitRegistryBytes;
    what = "registry bytes of one connection over the limit";
  }
  if (kind == kLimitKinds) return true;
  CountLimitHit(kind);
  LogLimited(limiter, "request dropped: %s", what);
  return false;
}

}  // namespace

EncodedMessage HandleMessage(Socket& socket, const std::uint8_t* message, std::uint64_t totalLength,
                             const AddressStorage& peerAddress) {
  const std::int64_t time = LoopClock();
  GetPeersRequest request;
  if (!ParseGetPeers(message, totalLength, request) || request.type != RequestType::GetPeers) return {};
  CountGetPeers(socket.Kind());
  if (request.shareLength != 20 && request.shareLength != 32) return {};
  if (request.peer == nullptr) return {};

  // One key object reused for every request, so no key is allocated per request.
  static ShareId shareKey;
  shareKey = ShareId::From(request.share, request.shareLength);

  const PeerId id = PeerId::From(request.peer);
  PeerRecord* existing = FindPeerRecord(shareKey, id);
  const std::int64_t cost = RegistrationCost(request, existing);
  if (!WithinLimits(socket, request, id, cost)) return {};
  socket.registryBytes += cost;

  PeerRecord* requester = RegisterPeer(request, shareKey, existing);
  const std::vector<PeerRecord*>* selection = nullptr;
  if (!SelectPeers(shareKey, *requester, request.pwl, &selection)) return {};
  BindPeer(socket, shareKey, *requester);
  socket.requested = true;

  if (!selection->empty()) {
    EncodedMessage intro = EncodePeersMessage(PeersMode::Introduce, request, *requester, peerAddress,
                                              socket.Kind(), *selection, time);
    if (intro.length != 0) {
      for (PeerRecord* chosen : *selection) {
        const std::vector<Socket*>* connections = PeerConnectionsOf(*chosen);
        if (connections == nullptr) continue;
        for (Socket* target : *connections) target->Send(intro.data, intro.length);
      }
    }
  }
  return EncodePeersMessage(PeersMode::Reply, request, *requester, peerAddress, socket.Kind(),
                            *selection, time);
}

}  // namespace lattice
