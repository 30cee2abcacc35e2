// Telling a reply from an introduction on one connection.
//
// The tracker answers the requests of one connection in order, and queues
// every introduction a request causes before that request's reply. Both are
// "peers" messages, so the rule rests on what each must look like:
//
//  - The reply to the oldest outstanding request (peer P, share S) has share
//    S, never lists P, lists distinct members of S, and lists as many peers
//    as the share's size allows: none for a warm-up request (its "pwl" names
//    nobody), n-1 in a share of n <= 15, and 14 or 15 in a larger share.
//  - An introduction lists exactly one member of its share, and reaches only
//    a connection that carries another member of that share.
//
// The two are told apart exactly except in a share of exactly two peers,
// where a reply and an introduction can be the same bytes; such a message is
// taken as the reply. An introduction of one's own request (possible when a
// share is larger than the number of connections) lists P, so it is never
// mistaken for P's reply.
#pragma once

#include <cstdint>

#include "layout.h"
#include "wire.h"

namespace loadgen {

enum class Expect : std::uint8_t { Nobody, FullShare };
// Why a request was sent: a warm-up announce, a keep-alive, or a measured request.
enum class Purpose : std::uint8_t { Announce, Keepalive, Request };

struct Outstanding {
  std::uint32_t peer = 0;
  std::uint32_t share = 0;
  Expect expect = Expect::FullShare;
  Purpose purpose = Purpose::Request;
  bool measured = false;
  std::int64_t sentAt = 0;  // nanoseconds, monotonic
};

enum class Verdict { Reply, Introduction, Malformed, Unexpected };

struct Classification {
  Verdict verdict = Verdict::Unexpected;
  std::uint32_t listed = 0;  // entries of a reply: introductions it caused
};

// Classifies one parsed message that arrived on connection c; `head` is the
// connection's oldest outstanding request, or null when none is.
Classification Classify(const Layout& layout, std::uint32_t nonce, std::uint32_t c, const Outstanding* head,
                        const PeersMessage& message);

}  // namespace loadgen
