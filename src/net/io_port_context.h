// The state of one event loop: its completion port, the tags that mark
// receives and sends, the live connections and their bounds. The loop creates
// it and every socket object points at it; nothing in it is process-wide.
#pragma once

#include <cstdint>
#include <vector>

#include "net/admission.h"
#include "net/socket.h"
#include "net/utp_socket.h"
#include "platform/io_port.h"
#include "tracker/tracker.h"

namespace lattice {

struct IoPortContext {
  explicit IoPortContext(Tracker& trackerState) : tracker(trackerState) {}

  platform::IoPort* port = nullptr;
  platform::IoTag readTag{};
  platform::IoTag writeTag{};
  Tracker& tracker;
  // The largest uTP datagram asked for with -mtu; 0 when not set.
  std::int32_t mtu = 0;
  std::int64_t lastSweep = 0;
  // Where every TCP connection's input lands first: only bytes that do not
  // make a whole message are copied into the connection.
  std::vector<std::uint8_t> receiveBuffer = std::vector<std::uint8_t>(65536);
  Admission admission;
  // Before the sockets, so it outlives every ring that gives blocks back.
  BlockCache blocks;
  // Lines a TCP client can provoke at will.
  LogLimiter tcpReadErrorLines;
  LogLimiter tcpSendErrorLines;
  PendingUtp pendingUtp;
  // Last, so its objects go before the queues they may still be linked into.
  SocketList sockets;
};

}  // namespace lattice
