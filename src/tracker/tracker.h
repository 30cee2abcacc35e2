// The state of one tracker run: the registry, the encoding buffer, the
// counters and the bounds. Start-up creates it and the loop passes it down;
// only the loop thread touches it, so nothing in it is locked.
#pragma once

#include "tracker/limits.h"
#include "tracker/peer_registry.h"
#include "tracker/reply_buffer.h"
#include "tracker/tracker_stats.h"

namespace lattice {

struct Tracker {
  PeerRegistry registry;
  ReplyBuffer replyBuffer;
  TrackerStats stats;
  Limits limits;
};

}  // namespace lattice
