// Shared by the unit tests and the fuzz targets: a connection without I/O,
// ids, requests and expected "peers" messages written independently of the
// encoder, a random source under the test's control, and a strict reader of
// what the encoder writes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "log/log.h"
#include "log/loop_clock.h"
#include "net/byte_ring.h"
#include "platform/address_family.h"
#include "tracker/message_framing.h"
#include "tracker/peer_registry.h"
#include "tracker/request_handler.h"
#include "tracker/tracker.h"

// Requests and expected entries are built with designated initializers that
// leave out the fields a test does not need.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace lattice::test {

constexpr std::int64_t kTime = 1700000000;  // 2023-11-14 22:13:20 UTC

// The compact form: 4 or 16 address bytes, then the port.
inline void SetCompactAddress(CompactAddress& address, const std::string& compact) {
  address = CompactAddress{};
  address.size = static_cast<std::uint8_t>(compact.size());
  std::memcpy(address.bytes, compact.data(), compact.size());
}

// A connection queueing into a ring as the sockets do; Close unbinds every
// announced id once, as the real connection classes do.
class FakeSocket : public Connection {
 public:
  explicit FakeSocket(int kind = Tcp) : kind_(kind) {}
  int resumed = 0;
  int Kind() const override { return kind_; }
  bool Send(const void* data, std::size_t length) override {
    return outbound.Write(data, length) != 0 || length == 0;
  }
  void Close(Tracker& tracker) {
    if (closed) return;
    closed = true;
    tracker.registry.UnbindConnection(*this);
  }
  FakeSocket& SetAddress(const std::string& compact) {
    SetCompactAddress(peerAddress, compact);
    return *this;
  }
  // As uTP's library does, when set: what is queued leaves the ring at once.
  void FlushOutput() override {
    if (flushesAtOnce) wire += TakeOutbound();
  }
  // The shared registry's answer is in; the test pumps the input itself.
  void ResumeInput() override { ++resumed; }
  void Receive(const std::string& bytes) { inbound.insert(inbound.end(), bytes.begin(), bytes.end()); }
  // Takes up to `budget` bytes off the ring in contiguous pieces, as a transport does.
  std::string TakeOutbound(std::uint64_t budget = UINT64_MAX) {
    std::string out;
    while (budget != 0 && outbound.count != 0) {
      std::size_t n = outbound.ContiguousSize();
      if (n > budget) n = static_cast<std::size_t>(budget);
      out.append(reinterpret_cast<const char*>(outbound.ContiguousData()), n);
      outbound.Consume(n);
      budget -= n;
    }
    return out;
  }

  ByteRing outbound;
  bool closed = false;
  bool flushesAtOnce = false;
  std::string wire;  // what FlushOutput took

 private:
  int kind_;
};

// ---- ids and wire bytes ----

// 20 bytes whose bytewise order is the order of n.
inline std::string Pid(unsigned n) { return std::string(18, 'p') + static_cast<char>(n >> 8) + static_cast<char>(n); }
inline std::string Sid(unsigned n, std::size_t length = 20) { return static_cast<char>(n) + std::string(length - 1, 's'); }
inline const std::uint8_t* Bytes(const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }
inline PeerId ToPeerId(const std::string& s) { return PeerId::From(Bytes(s)); }
inline ShareId ToShareId(const std::string& s) { return ShareId::From(Bytes(s), static_cast<std::uint32_t>(s.size())); }
inline std::string IdText(const PeerId& id) { return std::string(id.bytes.begin(), id.bytes.end()); }
inline std::vector<std::string> Ids(const std::vector<PeerRecord*>& records) {
  std::vector<std::string> ids;
  for (const PeerRecord* r : records) ids.push_back(IdText(r->id));
  return ids;
}
// Ids of a share's records in list order.
inline std::vector<std::string> ShareIds(PeerRegistry& registry, const std::string& share) {
  const std::vector<PeerRecord*>* records = registry.FindShareRecords(ToShareId(share));
  return records == nullptr ? std::vector<std::string>{} : Ids(*records);
}

inline std::uint32_t BigEndian32(const void* p) {
  const auto* b = static_cast<const std::uint8_t*>(p);
  return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3];
}
inline std::string Prefix(std::uint32_t n) {
  return {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8), static_cast<char>(n)};
}
inline std::string Frame(const std::string& body) { return Prefix(static_cast<std::uint32_t>(body.size())) + body; }
inline std::string Str(const std::string& s) { return std::to_string(s.size()) + ":" + s; }
inline std::string Int(std::uint64_t v) { return std::string("i").append(std::to_string(v)).append("e"); }

// Compact address as it appears under "a" and in the lists.
inline std::string V4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d, std::uint16_t port) {
  return {static_cast<char>(a), static_cast<char>(b), static_cast<char>(c), static_cast<char>(d),
          static_cast<char>(port >> 8), static_cast<char>(port)};
}

// Fields of a get_peers body; absent optionals are not written. la and
// laList hold the raw encoded value ("06:abcdef").
struct Request {
  std::optional<std::string> m = "get_peers";
  std::optional<std::string> peer, share;
  std::optional<std::uint64_t> lp, up, pv;
  std::optional<std::string> la, laList, pwl;
};

inline std::string Body(const Request& r) {
  std::string b = "d";
  if (r.m) b += "1:m" + Str(*r.m);
  if (r.peer) b += "4:peer" + Str(*r.peer);
  if (r.share) b += "5:share" + Str(*r.share);
  if (r.lp) b += "2:lp" + Int(*r.lp);
  if (r.up) b += "2:up" + Int(*r.up);
  if (r.pv) b += "2:pv" + Int(*r.pv);
  if (r.la) b += "2:la" + *r.la;
  if (r.laList) b += "7:la_list" + *r.laList;
  if (r.pwl) b += "3:pwl" + Str(*r.pwl);
  return b + "e";
}
inline std::string Framed(const Request& r) { return Frame(Body(r)); }

// One expected peer entry; the lists are written when `listed`.
struct Entry {
  std::string id;
  std::optional<std::string> a;
  bool listed = false;
  std::vector<std::string> tcp, utp;
  std::string la, laList;  // raw, empty when absent
  std::uint32_t lp = 0, up = 0;
};

inline std::string EntryBytes(const Entry& e) {
  std::string b = "d";
  if (e.a) b += "1:a" + Str(*e.a);
  if (e.listed) {
    b += "8:tcp_listl";
    for (const auto& x : e.tcp) b += Str(x);
    b += "e8:utp_listl";
    for (const auto& x : e.utp) b += Str(x);
    b += "e";
  }
  if (!e.la.empty()) b += "2:la" + e.la;
  if (!e.laList.empty()) b += "7:la_list" + e.laList;
  if (e.lp != 0) b += "2:lp" + Int(e.lp);
  if (e.up != 0) b += "2:up" + Int(e.up);
  return b + "1:p" + Str(e.id) + "e";
}

inline std::string PeersMessage(const std::vector<Entry>& entries, const std::string& share,
                                std::int64_t time = kTime) {
  std::string b = "d1:m5:peers5:peersl";
  for (const auto& e : entries) b += EntryBytes(e);
  return Frame(b + "e5:share" + Str(share) + "4:time" + Int(static_cast<std::uint64_t>(time)) + "e");
}

// ---- a random source under the test's control ----

// Hands out `script` values (8 bytes each, little-endian), then values whose
// every byte varies, so a faulty selection cannot spin on one index. Fill
// number `failOn` (from 1) fails, and so does fill k when bit k % 8 of
// failMask is set.
struct ScriptedRandom {
  static inline std::deque<std::uint64_t> script;
  static inline std::uint64_t counter = 0;
  static inline int fills = 0, failOn = 0;
  static inline std::uint8_t failMask = 0;
  static inline bool failed = false;

  static bool Fill(std::uint8_t* buffer, std::size_t size) {
    ++fills;
    if (fills == failOn || ((failMask >> (fills % 8)) & 1) != 0) return !(failed = true);
    for (std::size_t i = 0; i + 8 <= size; i += 8) {
      std::uint64_t v = ++counter * 0x9E3779B97F4A7C15ULL;
      if (!script.empty()) {
        v = script.front();
        script.pop_front();
      }
      for (std::size_t b = 0; b < 8; ++b) buffer[i + b] = static_cast<std::uint8_t>(v >> (8 * b));
    }
    return true;
  }
  static void FailNextFill() { failOn = fills + 1; }
  static void Reset(std::uint64_t seed = 0, std::uint8_t mask = 0) {
    script.clear();
    counter = seed;
    fills = failOn = 0;
    failMask = mask;
    failed = false;
  }
};

inline std::string ReadAll(std::FILE* f) {
  std::fflush(f);
  std::rewind(f);
  std::string text;
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) text.append(chunk, n);
  return text;
}

// ---- reading what the encoder writes ----

struct ParsedEntry {
  std::string a, p, la, laList;  // la values raw, as echoed
  bool lists = false;
  std::vector<std::string> tcp, utp;
  std::uint64_t lp = 0, up = 0;
};
struct ParsedPeers {
  std::vector<ParsedEntry> peers;
  std::string share;
  std::uint64_t time = 0;
};

// Reads one framed "peers" message exactly in the encoder's layout, key order
// included; false for anything else.
class PeersReader {
 public:
  explicit PeersReader(std::string_view framed) : s_(framed) {}
  bool Read(ParsedPeers& out) {
    if (s_.size() < 4 || BigEndian32(s_.data()) != s_.size() - 4 || !Token("d1:m5:peers5:peersl")) return false;
    while (Peek('d')) {
      out.peers.emplace_back();
      if (!ReadEntry(out.peers.back())) return false;
    }
    return Token("e5:share") && Str(out.share) && (out.share.size() == 20 || out.share.size() == 32) &&
           Token("4:time") && Int(out.time) && Token("e") && pos_ == s_.size();
  }

 private:
  bool Peek(char c) const { return pos_ < s_.size() && s_[pos_] == c; }
  bool Token(std::string_view t) {
    if (s_.substr(pos_, t.size()) != t) return false;
    pos_ += t.size();
    return true;
  }
  // Raw la values keep the request's digit rule: leading zeros, even no digit.
  bool Str(std::string& out, std::string* raw = nullptr) {
    const std::size_t start = pos_;
    std::uint64_t length = 0;
    for (; pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9' && length <= s_.size(); ++pos_)
      length = length * 10 + static_cast<std::uint64_t>(s_[pos_] - '0');
    if ((pos_ == start && raw == nullptr) || !Token(":") || length > s_.size() - pos_) return false;
    out.assign(s_.substr(pos_, length));
    pos_ += length;
    if (raw != nullptr) raw->assign(s_.substr(start, pos_ - start));
    return true;
  }
  // Integers the encoder writes have digits, no sign and no leading zero.
  bool Int(std::uint64_t& v) {
    const std::size_t start = pos_ + 1;
    if (!Token("i")) return false;
    for (v = 0; pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9' && v < UINT64_MAX / 10 - 1; ++pos_)
      v = v * 10 + static_cast<std::uint64_t>(s_[pos_] - '0');
    return pos_ != start && (pos_ == start + 1 || s_[start] != '0') && Token("e");
  }
  bool List(std::vector<std::string>& out) {
    if (!Token("l")) return false;
    while (!Peek('e')) {
      out.emplace_back();
      if (!Str(out.back()) || (out.back().size() != 6 && out.back().size() != 18)) return false;
    }
    return Token("e");
  }
  bool ReadEntry(ParsedEntry& e) {
    std::string value;
    if (!Token("d")) return false;
    if (Token("1:a") && (!Str(e.a) || (e.a.size() != 6 && e.a.size() != 18))) return false;
    if (Token("8:tcp_list") && !(e.lists = List(e.tcp) && Token("8:utp_list") && List(e.utp))) return false;
    if (Token("2:la") && !Str(value, &e.la)) return false;
    if (Token("7:la_list") && !Str(value, &e.laList)) return false;
    if (Token("2:lp") && (!Int(e.lp) || e.lp == 0 || e.lp > 65535)) return false;
    if (Token("2:up") && (!Int(e.up) || e.up == 0 || e.up > 65535)) return false;
    return Token("1:p") && Str(e.p) && e.p.size() == 20 && Token("e");
  }

  std::string_view s_;
  std::size_t pos_ = 4;
};

#ifdef TEST_F
// A fresh tracker per test; log lines go to a file the test can read.
class TrackerTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef _WIN32
    _putenv_s("TZ", "UTC0");
    _tzset();
#else
    setenv("TZ", "UTC0", 1);
    tzset();
#endif
    ScriptedRandom::Reset();
    tracker.registry.SetRandomSource(&ScriptedRandom::Fill);
    SetClock(kTime);
    ASSERT_NE(logFile = std::tmpfile(), nullptr);
    SetLogStreamForTesting(logFile);
  }
  void TearDown() override {
    SetLogStreamForTesting(nullptr);
    if (logFile != nullptr) std::fclose(logFile);
  }
  std::string LogText() { return ReadAll(logFile); }
  // The log's stamps and the run's clock alike.
  void SetClock(std::int64_t seconds) {
    SetLoopClock(seconds);
    tracker.now = seconds;
  }
  // Runs one framed message through the handler; returns the reply bytes.
  std::string Handle(FakeSocket& socket, const std::string& framed) {
    EncodedMessage reply = HandleMessage(tracker, socket, Bytes(framed), framed.size(), socket.peerAddress);
    return std::string(reinterpret_cast<const char*>(reply.data), reply.length);
  }
  std::vector<std::string> ShareIds(const std::string& share) { return test::ShareIds(tracker.registry, share); }
  Tracker tracker;
  std::FILE* logFile = nullptr;
};
#endif

}  // namespace lattice::test
