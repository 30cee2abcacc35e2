// What the tracker core uses of a client connection, TCP or uTP. The network
// layer's connection classes implement it; the core knows nothing else of
// them, nor of sockets and their addresses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tracker/registration_set.h"

namespace lattice {

// The transports a client connects over. Udp is no connection: it indexes
// the counters of the datagrams that carry uTP.
enum SocketKind : int { Udp = 0, Tcp = 1, Utp = 2 };

// The most a connection holds queued for sending; a message that does not fit
// in what is left is dropped (a reply may wait, see FrameMessages).
inline constexpr std::size_t kMaxOutboundBytes = 8192;

// Where a request handed to the shared registry (cluster mode) stands.
enum class EngineWait : std::uint8_t {
  None,
  Waiting,   // the engine's answer is awaited: input is paused
  Answered,  // the answer is here: the request is handled again with it
};

// A peer's address as messages carry it, network order: the IPv4 address and
// port (6 bytes) or the IPv6 address and port (18 bytes). Size 0 for an
// address of another family, which messages leave out.
struct CompactAddress {
  std::uint8_t bytes[18] = {};
  std::uint8_t size = 0;
};

class Connection {
 public:
  Connection() = default;
  virtual ~Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  virtual int Kind() const = 0;
  // Queues a whole message; it leaves with the sends started after the
  // current batch of completions. False when it did not fit.
  virtual bool Send(const void* data, std::size_t length) = 0;
  // Hands what is queued to the transport now where that frees room in the
  // queue at once (uTP's library copies it); a TCP send frees room only when
  // it completes, so TCP has nothing to do here.
  virtual void FlushOutput() {}
  // Handles what waits in inbound and reads on, as when room was made; the
  // shared registry calls it once its answer is in. The connection may be
  // closed by it.
  virtual void ResumeInput() = 0;

  CompactAddress peerAddress;
  // Bytes received and not yet handled as whole messages.
  std::vector<std::uint8_t> inbound;
  // A reply to this connection's own request that did not fit the queue.
  // While it is held, no further message is handled and nothing more is
  // read, so pipelined requests never lose their replies.
  std::vector<std::uint8_t> heldReply;
  RegistrationSet registrations;
  // Registry bytes of the peer ids this connection announced (records and
  // addresses): PeerRegistry::PeerBytes summed over its registrations.
  std::int64_t registryBytes = 0;
  // Set by the first request that registered a peer; connections without one
  // are the first to go when uTP connections pile up.
  bool requested = false;
  EngineWait engineWait = EngineWait::None;
  // The connection's entry in the shared registry's token table, which names
  // it to other nodes; kNoToken until its first request in cluster mode.
  static constexpr std::uint32_t kNoToken = ~std::uint32_t{0};
  std::uint32_t tokenIndex = kNoToken;
};

}  // namespace lattice
