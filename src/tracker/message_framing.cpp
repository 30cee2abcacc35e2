#include "tracker/message_framing.h"

#include "tracker/request_handler.h"

namespace lattice {
namespace {
// What a connection keeps of its receive buffer between messages.
constexpr std::size_t kKeptInboundCapacity = 16384;
}  // namespace

bool FrameMessages(Tracker& tracker, Connection& connection) {
  std::vector<std::uint8_t>& inbound = connection.inbound;
  std::size_t offset = 0;
  bool acceptable = true;
  // More than 4 bytes, not 4 or more: an empty message that arrives last waits
  // for the next byte.
  while (inbound.size() - offset > 4 && !InputPaused(connection)) {
    const std::uint8_t* p = inbound.data() + offset;
    std::uint32_t body = static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
                         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
    if (body > kMaxMessageBody) {
      acceptable = false;
      break;
    }
    std::uint64_t total = static_cast<std::uint64_t>(body) + 4;
    if (total > inbound.size() - offset) break;
    EncodedMessage reply = HandleMessage(tracker, connection, p, total, connection.peerAddress);
    if (reply.length != 0) {
      if (connection.Queue(reply.data, reply.length)) {
        tracker.stats.CountPeersSent(connection.Kind());
      } else if (reply.length <= kMaxOutboundBytes) {
        connection.heldReply.assign(reply.data, reply.data + reply.length);
      } else {
        // Larger than the queue can ever hold: dropped, as any message that
        // does not fit.
        ++tracker.stats.repliesDropped;
      }
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

bool ReleaseHeldReply(Tracker& tracker, Connection& connection) {
  if (connection.heldReply.empty()) return true;
  if (!connection.Queue(connection.heldReply.data(), connection.heldReply.size())) return false;
  tracker.stats.CountPeersSent(connection.Kind());
  std::vector<std::uint8_t>().swap(connection.heldReply);
  return true;
}

}  // namespace lattice
