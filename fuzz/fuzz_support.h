// Helpers shared by the fuzz targets: a reproducible random source, a quiet
// log, a request writer and a strict reader of the "peers" messages that the
// tracker sends.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "log/log.h"
#include "tracker/get_peers_request.h"
#include "tracker/peer_ids.h"
#include "tracker/peer_registry.h"

namespace lattice_fuzz {

// Aborting makes libFuzzer record the input as a crash.
#define FUZZ_CHECK(condition)                                                             \
  do {                                                                                    \
    if (!(condition)) {                                                                   \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                       \
    }                                                                                     \
  } while (0)

// ---- random source ---------------------------------------------------------

// Seeded from the input so that a crash replays; refills listed in failMask
// (bit k for the k-th refill, modulo 8) report failure.
struct SeededRandom {
  std::uint64_t state = 1;
  std::uint8_t failMask = 0;
  unsigned refills = 0;
  bool failed = false;
};

inline SeededRandom& Random() {
  static SeededRandom random;
  return random;
}

inline bool FillSeeded(std::uint8_t* buffer, std::size_t size) {
  SeededRandom& r = Random();
  unsigned k = r.refills++;
  if ((r.failMask >> (k % 8)) & 1) {
    r.failed = true;
    return false;
  }
  for (std::size_t i = 0; i < size; ++i) {
    r.state ^= r.state << 13;
    r.state ^= r.state >> 7;
    r.state ^= r.state << 17;
    buffer[i] = static_cast<std::uint8_t>(r.state >> 24);
  }
  return true;
}

inline std::uint64_t HashInput(const std::uint8_t* data, std::size_t size) {
  std::uint64_t h = 1469598103934665603ull;
  for (std::size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 1099511628211ull;
  return h;
}

// Puts the registry and random source in a state that depends on this input only.
inline void StartInput(const std::uint8_t* data, std::size_t size, std::uint8_t failMask) {
  static bool once = [] {
    // Every new binding logs a line; the fuzzer's output is no place for them.
    lattice::SetLogStreamForTesting(std::fopen("/dev/null", "w"));
    return true;
  }();
  (void)once;
  lattice::ResetRegistry();
  SeededRandom& r = Random();
  r.state = HashInput(data, size) | 1;
  r.failMask = failMask;
  r.refills = 0;
  r.failed = false;
  lattice::SetRandomSource(FillSeeded);
}

// ---- writing requests -------------------------------------------------------

inline void PutString(std::string& out, const std::string& bytes) {
  out += std::to_string(bytes.size());
  out += ':';
  out += bytes;
}

inline std::string Bytes(const std::uint8_t* data, std::size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

// A whole framed message with a canonical body for the fields given.
inline std::string WriteRequest(const lattice::GetPeersRequest& r) {
  std::string body = "d";
  if (r.type == lattice::RequestType::GetPeers) body += "1:m9:get_peers";
  if (!r.la.empty()) body += "2:la" + Bytes(r.la.data, r.la.length);
  if (!r.laList.empty()) body += "7:la_list" + Bytes(r.laList.data, r.laList.length);
  if (r.lp != 0) body += "2:lpi" + std::to_string(r.lp) + "e";
  if (r.up != 0) body += "2:upi" + std::to_string(r.up) + "e";
  if (r.pv != 0) body += "2:pvi" + std::to_string(r.pv) + "e";
  if (r.peer != nullptr) {
    body += "4:peer";
    PutString(body, Bytes(r.peer, 20));
  }
  if (r.share != nullptr) {
    body += "5:share";
    PutString(body, Bytes(r.share, r.shareLength));
  }
  if (!r.pwl.empty()) {
    std::string ids;
    for (const lattice::PeerId& id : r.pwl) ids += Bytes(id.bytes.data(), 20);
    body += "3:pwl";
    PutString(body, ids);
  }
  body += "e";
  std::uint32_t n = static_cast<std::uint32_t>(body.size());
  std::string message(4, '\0');
  message[0] = static_cast<char>(n >> 24);
  message[1] = static_cast<char>(n >> 16);
  message[2] = static_cast<char>(n >> 8);
  message[3] = static_cast<char>(n);
  return message + body;
}

// ---- reading "peers" messages ----------------------------------------------

struct Entry {
  std::string a;  // empty when absent
  bool hasLists = false;
  std::vector<std::string> tcp;
  std::vector<std::string> utp;
  std::string la;      // raw, as echoed
  std::string laList;  // raw, as echoed
  std::uint64_t lp = 0;
  std::uint64_t up = 0;
  std::string p;
};

struct PeersMessage {
  std::vector<Entry> peers;
  std::string share;
  std::uint64_t time = 0;
};

// Reads one body exactly in the layout the tracker writes, key order included;
// anything else is a fault of the encoder.
class PeersReader {
 public:
  PeersReader(const std::uint8_t* body, std::size_t size) : b_(body), n_(size) {}

  bool Read(PeersMessage& out) {
    if (!Token("d1:m5:peers5:peersl")) return false;
    while (Peek() == 'd') {
      Entry e;
      if (!ReadEntry(e)) return false;
      out.peers.push_back(std::move(e));
    }
    if (!Token("e5:share")) return false;
    if (!Str(out.share) || (out.share.size() != 20 && out.share.size() != 32)) return false;
    if (!Token("4:time") || !Int(out.time)) return false;
    return Token("e") && pos_ == n_;
  }

 private:
  int Peek() const { return pos_ < n_ ? b_[pos_] : -1; }

  bool Token(const char* t) {
    std::size_t len = std::strlen(t);
    if (n_ - pos_ < len || std::memcmp(b_ + pos_, t, len) != 0) return false;
    pos_ += len;
    return true;
  }

  // Lengths follow the request reader's digit rule (modulo 2^32, leading
  // zeros allowed), since la values are echoed exactly as they were accepted.
  bool Str(std::string& out, std::string* raw = nullptr) {
    std::size_t start = pos_;
    std::uint32_t len = 0;
    bool digits = false;
    while (pos_ < n_ && b_[pos_] >= '0' && b_[pos_] <= '9') {
      len = len * 10u + static_cast<std::uint32_t>(b_[pos_++] - '0');
      digits = true;
    }
    if (pos_ >= n_ || b_[pos_] != ':') return false;
    if (!digits && raw == nullptr) return false;  // the tracker's own strings always have digits
    ++pos_;
    if (len > n_ - pos_) return false;
    out.assign(reinterpret_cast<const char*>(b_ + pos_), len);
    pos_ += len;
    if (raw != nullptr) raw->assign(reinterpret_cast<const char*>(b_ + start), pos_ - start);
    return true;
  }

  // The tracker writes integers without sign or leading zeros.
  bool Int(std::uint64_t& v) {
    if (!Token("i")) return false;
    std::size_t start = pos_;
    v = 0;
    while (pos_ < n_ && b_[pos_] >= '0' && b_[pos_] <= '9') {
      if (v > (UINT64_MAX - 9) / 10) return false;
      v = v * 10 + static_cast<std::uint64_t>(b_[pos_++] - '0');
    }
    std::size_t digits = pos_ - start;
    if (digits == 0 || (digits > 1 && b_[start] == '0')) return false;
    return Token("e");
  }

  bool Address(std::string& out) { return Str(out) && (out.size() == 6 || out.size() == 18); }

  bool AddressList(std::vector<std::string>& out) {
    if (!Token("l")) return false;
    while (Peek() != 'e') {
      std::string a;
      if (!Address(a)) return false;
      out.push_back(a);
    }
    return Token("e");
  }

  bool ReadEntry(Entry& e) {
    if (!Token("d")) return false;
    std::string ignored;
    if (Token("1:a") && !Address(e.a)) return false;
    if (Token("8:tcp_list")) {
      e.hasLists = true;
      if (!AddressList(e.tcp) || !Token("8:utp_list") || !AddressList(e.utp)) return false;
    }
    if (Token("2:la")) {
      if (!Str(ignored, &e.la)) return false;
    }
    if (Token("7:la_list")) {
      if (!Str(ignored, &e.laList)) return false;
    }
    if (Token("2:lp") && (!Int(e.lp) || e.lp == 0 || e.lp > 65535)) return false;
    if (Token("2:up") && (!Int(e.up) || e.up == 0 || e.up > 65535)) return false;
    if (!Token("1:p") || !Str(e.p) || e.p.size() != 20) return false;
    return Token("e");
  }

  const std::uint8_t* b_;
  std::size_t n_;
  std::size_t pos_ = 0;
};

inline std::uint32_t BigEndian32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
         static_cast<std::uint32_t>(p[2]) << 8 | p[3];
}

// Checks one framed message (prefix included) and returns its contents.
inline PeersMessage ReadPeersMessage(const std::uint8_t* message, std::size_t size) {
  FUZZ_CHECK(size >= 4);
  FUZZ_CHECK(BigEndian32(message) == size - 4);
  PeersMessage out;
  FUZZ_CHECK(PeersReader(message + 4, size - 4).Read(out));
  std::set<std::string> ids;
  for (const Entry& e : out.peers) FUZZ_CHECK(ids.insert(e.p).second);  // nobody listed twice
  FUZZ_CHECK(out.peers.size() <= 15);
  return out;
}

}  // namespace lattice_fuzz
