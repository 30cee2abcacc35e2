#include "tracker/message_framing.h"

#include "tracker/request_handler.h"

namespace lattice {
namespace {

// Handles the whole messages in data from offset on, advancing offset past
// each; false when a message declares a body above the bound.
bool FrameFrom(Tracker& tracker, Connection& connection, const std::uint8_t* data, std::size_t size,
               std::size_t& offset) {
  // More than 4 bytes, not 4 or more: an empty message that arrives last waits
  // for the next byte.
  while (size - offset > 4 && !InputPaused(connection)) {
    const std::uint8_t* p = data + offset;
    std::uint32_t body = static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
                         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
    if (body > kMaxMessageBody) return false;
    std::uint64_t total = static_cast<std::uint64_t>(body) + 4;
    if (total > size - offset) break;
    EncodedMessage reply = HandleMessage(tracker, connection, p, total, connection.peerAddress);
    // Handed to the shared registry: the message stays unconsumed and is
    // handled again, with the answer, when that comes.
    if (connection.engineWait == EngineWait::Waiting) break;
    if (reply.length != 0) {
      if (connection.Send(reply.data, reply.length)) {
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
  return true;
}

}  // namespace

bool FrameMessages(Tracker& tracker, Connection& connection) {
  std::vector<std::uint8_t>& inbound = connection.inbound;
  std::size_t offset = 0;
  const bool acceptable = FrameFrom(tracker, connection, inbound.data(), inbound.size(), offset);
  // One move per call rather than per message keeps many small messages in one
  // read linear.
  if (offset != 0) inbound.erase(inbound.begin(), inbound.begin() + static_cast<std::ptrdiff_t>(offset));
  // An idle connection holds no input buffer.
  if (inbound.empty()) std::vector<std::uint8_t>().swap(inbound);
  return acceptable;
}

bool FrameReceived(Tracker& tracker, Connection& connection, const std::uint8_t* data, std::size_t length) {
  if (!connection.inbound.empty()) {
    connection.inbound.insert(connection.inbound.end(), data, data + length);
    return FrameMessages(tracker, connection);
  }
  std::size_t offset = 0;
  if (!FrameFrom(tracker, connection, data, length, offset)) return false;
  if (offset < length) connection.inbound.assign(data + offset, data + length);
  return true;
}

bool ReleaseHeldReply(Tracker& tracker, Connection& connection) {
  if (connection.heldReply.empty()) return true;
  if (!connection.Send(connection.heldReply.data(), connection.heldReply.size())) return false;
  tracker.stats.CountPeersSent(connection.Kind());
  std::vector<std::uint8_t>().swap(connection.heldReply);
  return true;
}

}  // namespace lattice
