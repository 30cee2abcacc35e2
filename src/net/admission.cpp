#include "net/admission.h"

#include <cstring>
#include <unordered_map>

#include "log/log.h"
#include "net/socket_address.h"
#include "tracker/peer_ids.h"
#include "tracker/tracker_stats.h"

namespace lattice {
namespace {

// An IPv4 address, or the first 64 bits of an IPv6 one: one subscriber's
// prefix. IPv4-mapped IPv6 addresses count as the IPv4 address they carry.
struct AddressKey {
  std::uint8_t bytes[9] = {};
  friend bool operator==(const AddressKey& a, const AddressKey& b) {
    return std::memcmp(a.bytes, b.bytes, sizeof a.bytes) == 0;
  }
};

// Keyed with the per-process secret: the remote side picks its IPv6
// prefixes, so an unkeyed hash would let it pile them into one bucket.
struct AddressKeyHash {
  std::size_t operator()(const AddressKey& k) const {
    return static_cast<std::size_t>(KeyedHash(k.bytes, sizeof k.bytes));
  }
};

bool KeyOf(const AddressStorage& address, AddressKey& key) {
  const std::uint8_t* a = address.bytes;
  const std::uint16_t family = AddressFamily(a);
  static const std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (family == platform::kFamilyInet) {
    key.bytes[0] = 4;
    std::memcpy(key.bytes + 1, a + 4, 4);
    return true;
  }
  if (family == platform::kFamilyInet6) {
    const std::uint8_t* ip = a + 8;
    if (std::memcmp(ip, kMapped, sizeof kMapped) == 0) {
      key.bytes[0] = 4;
      std::memcpy(key.bytes + 1, ip + 12, 4);
    } else {
      key.bytes[0] = 6;
      std::memcpy(key.bytes + 1, ip, 8);
    }
    return true;
  }
  return false;
}

struct Admission {
  std::uint64_t total = 0;
  std::unordered_map<AddressKey, std::uint32_t, AddressKeyHash> perAddress;
};

Admission& State() {
  static Admission admission;
  return admission;
}

}  // namespace

bool AdmitConnection(Socket& socket) {
  if (!AdmitAddress(socket.peerAddress)) return false;
  socket.admitted = true;
  return true;
}

bool AdmitAddress(const AddressStorage& address) {
  Admission& state = State();
  if (state.total >= limits.maxConnections) {
    static LogLimiter limiter;
    CountLimitHit(kLimitConnections);
    LogLimited(limiter, "connection refused: %llu connections open (limit)",
               static_cast<unsigned long long>(state.total));
    return false;
  }
  AddressKey key;
  if (KeyOf(address, key)) {
    std::uint32_t& count = state.perAddress[key];
    if (count >= limits.maxConnectionsPerAddress) {
      static LogLimiter limiter;
      CountLimitHit(kLimitPerAddress);
      LogLimited(limiter, "connection refused: %u connections from one address (limit)", count);
      return false;
    }
    ++count;
  }
  ++state.total;
  return true;
}

void ReleaseConnection(Socket& socket) {
  if (!socket.admitted) return;
  socket.admitted = false;
  Admission& state = State();
  --state.total;
  AddressKey key;
  if (!KeyOf(socket.peerAddress, key)) return;
  auto it = state.perAddress.find(key);
  if (it == state.perAddress.end()) return;
  if (--it->second == 0) state.perAddress.erase(it);
}

std::uint64_t AdmittedConnections() { return State().total; }

void ResetAdmission() {
  State().total = 0;
  State().perAddress.clear();
}

}  // namespace lattice
