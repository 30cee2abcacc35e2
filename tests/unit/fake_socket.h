// Test doubles and byte builders shared by the protocol unit tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "log/log.h"
#include "log/loop_clock.h"
#include "net/socket.h"
#include "platform/address_family.h"
#include "tracker/message_framing.h"
#include "tracker/peer_registry.h"
#include "tracker/request_handler.h"
#include "tracker/tracker_stats.h"

// Tests build requests and expected entries with designated initializers and
// leave the fields they do not need out on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace lattice::test {

constexpr std::int64_t kTime = 1700000000;  // 2023-11-14 22:13:20 UTC

// A connection without I/O. Send keeps the base behaviour (queue and count);
// Close unbinds every announced id, as the real connection classes do.
class FakeSocket : public Socket {
 public:
  explicit FakeSocket(int kind = Tcp) : Socket(0), kind_(kind) {}
  int Kind() const override { return kind_; }
  void Close() override {
    if (closed) return;
    closed = true;
    for (const PeerId& id : registrations) UnbindPeer(*this, id);
  }

  // From a compact address (4 or 16 address bytes, then the port) into the
  // platform sockaddr layout: 16-bit host-order family at 0, big-endian port
  // at 2, IPv4 address at 4, IPv6 address at 8.
  FakeSocket& SetAddress(const std::string& compact) {
    peerAddress = AddressStorage{};
    const bool v4 = compact.size() == 6;
    std::memcpy(peerAddress.bytes, v4 ? &platform::kFamilyInet : &platform::kFamilyInet6, 2);
    std::memcpy(peerAddress.bytes + 2, compact.data() + compact.size() - 2, 2);
    std::memcpy(peerAddress.bytes + (v4 ? 4 : 8), compact.data(), compact.size() - 2);
    return *this;
  }

  void Receive(const std::string& bytes) { inbound.insert(inbound.end(), bytes.begin(), bytes.end()); }

  // Everything queued so far, oldest first; the ring is left empty.
  std::string TakeOutbound() {
    std::string out;
    while (outbound.count != 0) {
      std::size_t n = outbound.ContiguousSize();
      out.append(reinterpret_cast<const char*>(outbound.ContiguousData()), n);
      outbound.Consume(n);
    }
    return out;
  }

 private:
  int kind_;
};

// ---- ids and wire bytes, written independently of the encoder ----

// 20 bytes whose bytewise order is the order of n.
inline std::string Pid(unsigned n) {
  std::string id(20, 'p');
  id[18] = static_cast<char>(n >> 8);
  id[19] = static_cast<char>(n);
  return id;
}
inline std::string Sid(unsigned n, std::size_t length = 20) {
  std::string id(length, 's');
  id[0] = static_cast<char>(n);
  return id;
}
inline PeerId ToPeerId(const std::string& s) { return PeerId::From(reinterpret_cast<const std::uint8_t*>(s.data())); }
inline ShareId ToShareId(const std::string& s) {
  return ShareId::From(reinterpret_cast<const std::uint8_t*>(s.data()), static_cast<std::uint32_t>(s.size()));
}
inline std::string IdText(const PeerId& id) { return std::string(id.bytes.begin(), id.bytes.end()); }
inline std::vector<std::string> Ids(const std::vector<PeerRecord*>& records) {
  std::vector<std::string> ids;
  for (const PeerRecord* r : records) ids.push_back(IdText(r->id));
  return ids;
}
// Ids of a share's records in list order.
inline std::vector<std::string> ShareIds(const std::string& share) {
  const std::vector<PeerRecord*>* records = FindShareRecords(ToShareId(share));
  return records == nullptr ? std::vector<std::string>{} : Ids(*records);
}

inline std::string Str(const std::string& s) { return std::to_string(s.size()) + ":" + s; }
inline std::string Int(std::uint64_t v) { return "i" + std::to_string(v) + "e"; }
inline std::string Frame(const std::string& body) {
  const auto n = static_cast<std::uint32_t>(body.size());
  std::string prefix = {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                        static_cast<char>(n)};
  return prefix + body;
}

// Compact address strings as they appear under "a" and in the lists.
inline std::string V4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d, std::uint16_t port) {
  return {static_cast<char>(a), static_cast<char>(b), static_cast<char>(c), static_cast<char>(d),
          static_cast<char>(port >> 8), static_cast<char>(port)};
}

// Fields of a get_peers body; absent optionals are not written. la and
// laList hold the raw encoded value ("06:abcdef").
struct Request {
  std::optional<std::string> m = "get_peers";
  std::optional<std::string> peer;
  std::optional<std::string> share;
  std::optional<std::uint64_t> lp, up, pv;
  std::optional<std::string> la, laList;
  std::optional<std::string> pwl;
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

// One expected peer entry; lists are written when `listed`.
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
// every byte varies, so a faulty selection cannot spin on one index. The fill
// numbered `failOn` (counting from 1) fails.
struct ScriptedRandom {
  static inline std::deque<std::uint64_t> script;
  static inline std::uint64_t counter = 0;
  static inline int fills = 0;
  static inline int failOn = 0;

  static bool Fill(std::uint8_t* buffer, std::size_t size) {
    if (++fills == failOn) return false;
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
  static void Reset() {
    script.clear();
    counter = 0;
    fills = failOn = 0;
  }
};

inline void UseUtcLocalTime() {
#ifdef _WIN32
  _putenv_s("TZ", "UTC0");
  _tzset();
#else
  setenv("TZ", "UTC0", 1);
  tzset();
#endif
}

inline std::string ReadAll(std::FILE* f) {
  std::fflush(f);
  std::rewind(f);
  std::string text;
  char chunk[4096];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
  return text;
}

// Fresh global state per test; log lines go to a file the test can read.
class TrackerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UseUtcLocalTime();
    ResetRegistry();
    ScriptedRandom::Reset();
    SetRandomSource(&ScriptedRandom::Fill);
    trackerStats = TrackerStats{};
    limits = Limits{};
    SetLoopClock(kTime);
    logFile = std::tmpfile();
    ASSERT_NE(logFile, nullptr);
    SetLogStreamForTesting(logFile);
  }
  void TearDown() override {
    ResetRegistry();
    SetRandomSource(nullptr);
    SetLogStreamForTesting(nullptr);
    if (logFile != nullptr) std::fclose(logFile);
  }

  std::string LogText() { return ReadAll(logFile); }

  // Runs one framed message through the handler; returns the reply bytes.
  static std::string Handle(FakeSocket& socket, const std::string& framed) {
    EncodedMessage reply = HandleMessage(socket, reinterpret_cast<const std::uint8_t*>(framed.data()),
                                         framed.size(), socket.peerAddress);
    return std::string(reinterpret_cast<const char*>(reply.data), reply.length);
  }

  std::FILE* logFile = nullptr;
};

}  // namespace lattice::test
