#include "tracker/request_handler.h"

#include "log/loop_clock.h"
#include "tracker/peer_registry.h"
#include "tracker/tracker_stats.h"

namespace lattice {

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

  PeerRecord* requester = RegisterPeer(request, shareKey);
  const std::vector<PeerRecord*>* selection = nullptr;
  if (!SelectPeers(shareKey, *requester, request.pwl, &selection)) return {};
  BindPeer(socket, shareKey, *requester);

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
