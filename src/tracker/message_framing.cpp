#include "tracker/message_framing.h"

#include "tracker/request_handler.h"
#include "tracker/tracker_stats.h"

namespace lattice {

bool FrameMessages(Socket& socket) {
  std::vector<std::uint8_t>& inbound = socket.inbound;
  std::size_t offset = 0;
  bool acceptable = true;
  // More than 4 bytes, not 4 or more: an empty message that arrives last waits
  // for the next byte.
  while (inbound.size() - offset > 4) {
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
      socket.outbound.Write(reply.data, reply.length);
      CountPeersSent(socket.Kind());
    }
    offset += static_cast<std::size_t>(total);
  }
  // One move per call rather than per message keeps many small messages in one
  // read linear.
  if (offset != 0) inbound.erase(inbound.begin(), inbound.begin() + static_cast<std::ptrdiff_t>(offset));
  return acceptable;
}

}  // namespace lattice
