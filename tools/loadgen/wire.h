// What the load generator puts on the wire and reads back: the ids it makes
// up, the "get_peers" requests it sends and the "peers" messages it parses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace loadgen {

constexpr std::size_t kPeerIdSize = 20;
constexpr std::size_t kMaxListed = 15;
// Generous: a reply lists at most 15 small entries; anything far larger is
// not a message of this protocol and would only make the reader buffer it.
constexpr std::uint32_t kMaxMessageBody = 1u << 20;

// Ids carry their index and a per-run nonce, so every id read back can be
// traced to one peer or share of this run, and a stray or corrupted id is
// recognised as such.
void MakePeerId(std::uint32_t nonce, std::uint32_t peer, std::uint8_t out[kPeerIdSize]);
bool DecodePeerId(std::uint32_t nonce, const std::uint8_t* id, std::uint32_t* peer);
void MakeShareId(std::uint32_t nonce, std::uint32_t share, std::uint32_t length, std::uint8_t* out);
bool DecodeShareId(std::uint32_t nonce, const std::uint8_t* id, std::uint32_t length, std::uint32_t* share);

// A peer index no workload uses: announcing with it as the only "pwl" entry
// registers the peer but selects nobody, so warm-up causes no introductions.
constexpr std::uint32_t kNobody = 0xFFFFFFFFu;

struct RequestFields {
  std::uint32_t nonce = 0;
  std::uint32_t peer = 0;
  std::uint32_t share = 0;
  std::uint32_t shareLength = 20;
  bool selectNobody = false;
};

constexpr std::size_t kMaxRequestSize = 160;

// Writes the framed request (prefix included) into out, which must hold
// kMaxRequestSize bytes; returns its length.
std::size_t EncodeGetPeers(const RequestFields& fields, std::uint8_t* out);

// The same request with an "la" and an "la_list" of laBytes bytes each
// (filler bytes), replacing the contents of out.
void EncodeGetPeersWithAddresses(const RequestFields& fields, std::uint32_t laBytes, std::vector<std::uint8_t>& out);

// The announced local port, derived from the peer index; always five digits,
// so every peer's entry in a "peers" message has the same size.
inline std::uint32_t LocalPortOf(std::uint32_t peer) { return 10000 + peer % 50000; }

// The parts of one "peers" message the load generator checks.
struct PeersMessage {
  const std::uint8_t* share = nullptr;
  std::uint32_t shareLength = 0;
  std::uint32_t count = 0;  // entries in the "peers" list
  const std::uint8_t* ids[kMaxListed + 1] = {};  // the "p" of the first entries
  std::uint64_t time = 0;
};

// Parses one message body (the bytes after the 4-byte prefix). False when it
// is not a well-formed "peers" message: bad bencode, bytes after the
// dictionary, "m" not "peers", no share, an entry without a 20-byte "p", or
// more than 16 entries.
bool ParsePeersMessage(const std::uint8_t* body, std::size_t length, PeersMessage& out);

inline std::uint32_t ReadBigEndian32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

}  // namespace loadgen
