// The state of one tracker run: the registry, the encoding buffer, the
// counters and the bounds. Start-up creates it and the loop passes it down;
// only the loop thread touches it, so nothing in it is locked.
#pragma once

#include "log/log.h"
#include "tracker/limits.h"
#include "tracker/peer_registry.h"
#include "tracker/reply_buffer.h"
#include "tracker/shared_registry.h"
#include "tracker/tracker_stats.h"

namespace lattice {

struct Tracker {
  // The loop-clock second of the pass being run: the time every rule of the
  // core and every connection reads. The loop sets it once per pass.
  std::int64_t now = 0;
  // Rate limits of log lines a client can provoke, one per kind of line.
  LogLimiter droppedRequestLines;
  LogLimiter shedPeerIdLines;
  PeerRegistry registry;
  ReplyBuffer replyBuffer;
  TrackerStats stats;
  Limits limits;
  // The cluster's registry in cluster mode, else null.
  SharedRegistry* shared = nullptr;
};

// A connection is closing: the shared registry hears of it, then this
// node's registry unbinds every id it announced.
inline void UnbindClosingConnection(Tracker& tracker, Connection& connection) {
  if (tracker.shared != nullptr) tracker.shared->OnConnectionClosing(tracker, connection);
  tracker.registry.UnbindConnection(connection);
}

}  // namespace lattice
