// The registry shared by the nodes of a cluster, as the request handler sees
// it. A request is asked of it and answered later: the connection's input
// pauses meanwhile, and the request is handled again once the answer is in.
// Whatever it cannot answer in time is answered from this node's registry.
#pragma once

#include <string>

#include "tracker/connection.h"
#include "tracker/get_peers_request.h"
#include "tracker/peer_ids.h"
#include "tracker/peer_registry.h"
#include "tracker/peers_encoder.h"

namespace lattice {

struct Tracker;

enum class SharedAnswer {
  Listed,   // the peer is registered and the chosen peers are in
  Refused,  // the peer's connections over all nodes would exceed their bound
  Missing,  // no answer (late, failed, unreachable): answer locally
};

class SharedRegistry {
 public:
  virtual ~SharedRegistry() = default;

  // Sends the request's registry work to the engine; true when an answer
  // will come (the connection is then Waiting and is resumed with it).
  // False: answer from this node's registry now (counted as degraded).
  virtual bool Ask(Tracker& tracker, Connection& connection, const GetPeersRequest& request, const ShareId& share,
                   const PeerId& id) = 0;
  // What the answer of the Answered connection says.
  virtual SharedAnswer Answer(Connection& connection) = 0;
  // For a Listed answer, once the requester is registered and bound here:
  // the reply, and the introduction sent to the chosen peers wherever they
  // are connected.
  virtual EncodedMessage EncodeAnswer(Tracker& tracker, Connection& connection, const GetPeersRequest& request,
                                      const PeerRecord& requester, const CompactAddress& address) = 0;
  // The connection is closing, before this node's registry unbinds it.
  virtual void OnConnectionClosing(Tracker& tracker, Connection& connection) = 0;
  // Appends its metrics to the Prometheus page.
  virtual void WriteMetrics(std::string& out) const = 0;
};

}  // namespace lattice
