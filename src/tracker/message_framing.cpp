#include "tracker/message_framing.h"

#include "tracker/request_handler.h"
#include "tracker/tracker_stats.h"

namespace lattice {
namespace {
// What a connection keeps of its receive buffer between messages.
constexpr std::size_t kKeptInboundCapacity = 16384;
}  // namespace

bool FrameMessages(Socket& socket) {
  std::vector<std::uint8_t>& inbound = socket.inbound;
  std::size_t offset = 0;
  bool acceptable = true;
  // More than 4 bytes, not 4 or more: an empty message that arrives last waits
  // for the next byte.
  while (inbound.size() - offset > 4 && !InputPaused(socket)) {
    const std::uint8_t* p = inbound.data() + offset;
    std::uint32_t body = static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
                         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
    if (body > kMaxMessageBody) {
      acceptable = false;
      break;
    }
    std::uint64_t total = static_cast<std::uint64_t>(body) + 4;
    if (total > inbound.size() - offset) break;
    EncodedMessage reply = HandleMessage(socket, p, total, socket.peerAddress);
    if (reply.length != 0) {
      if (socket.outbound.Write(reply.data, reply.length) != 0) {
        CountPeersSent(socket.Kind());
      } else if (reply.length <= ByteRing::kMaxCapacity) {
        socket.heldReply.assign(reply.data, reply.data + reply.length);
      }
      // A reply larger than the ring can ever hold is dropped, as any
      // message that does not fit.
    }
    offset += static_cast<std::size_t>(total);
  }
  // One move per call rather than per message keeps many small messages in one
  // read linear.
  if (offset != 0) inbound.erase(inbound.begin(), inbound.begin() + static_cast<std::ptrdiff_t>(offset));
  // One large message must not pin its buffer for the connection's life.
  if (inbound.empty() && inbound.capacity() > kKeptInboundCapacity) std::vector<std::uint8_t>().swap(inbound);
  return acceptable;
}

bool ReleaseHeldReply(Socket& socket) {
  if (socket.heldReply.empty()) return true;
  if (socket.outbound.Write(socket.heldReply.data(), socket.heldReply.size()) == 0) return false;
  CountPeersSent(socket.Kind());
  std::vector<std::uint8_t>().swap(socket.heldReply);
  return true;
}

}  // namespace lattice
