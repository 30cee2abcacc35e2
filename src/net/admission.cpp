#include "net/admission.h"

#include <cstring>
#include <unordered_map>

#include "log/log.h"
#include "net/io_port_context.h"
#include "tracker/peer_ids.h"

namespace lattice {
namespace {

bool KeyOf(const CompactAddress& address, AddressKey& key) {
  static const std::uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  const std::uint8_t* ip = address.bytes;
  if (address.size == 6) {
    key.bytes[0] = 4;
    std::memcpy(key.bytes + 1, ip, 4);
    return true;
  }
  if (address.size == 18) {
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

}  // namespace

bool operator==(const AddressKey& a, const AddressKey& b) { return std::memcmp(a.bytes, b.bytes, sizeof a.bytes) == 0; }

// Keyed with the per-process secret: the remote side picks its IPv6
// prefixes, so an unkeyed hash would let it pile them into one bucket.
std::size_t AddressKeyHash::operator()(const AddressKey& k) const {
  return static_cast<std::size_t>(KeyedHash(k.bytes, sizeof k.bytes));
}

void ReleaseConnection(Socket& socket) {
  if (!socket.admitted) return;
  socket.admitted = false;
  socket.loop->admission.Release(socket.peerAddress);
}

bool Admission::Admit(Tracker& tracker, const CompactAddress& address) {
  const Limits& limits = tracker.limits;
  if (total >= limits.maxConnections) {
    tracker.stats.CountLimitHit(kLimitConnections);
    LogLimited(totalLines, "connection refused: %llu connections open (limit)", static_cast<unsigned long long>(total));
    return false;
  }
  AddressKey key;
  if (KeyOf(address, key)) {
    std::uint32_t& count = perAddress[key];
    if (count >= limits.maxConnectionsPerAddress) {
      tracker.stats.CountLimitHit(kLimitPerAddress);
      LogLimited(perAddressLines, "connection refused: %u connections from one address (limit)", count);
      return false;
    }
    ++count;
  }
  ++total;
  return true;
}

void Admission::Release(const CompactAddress& address) {
  --total;
  AddressKey key;
  if (!KeyOf(address, key)) return;
  auto it = perAddress.find(key);
  if (it == perAddress.end()) return;
  if (--it->second == 0) perAddress.erase(it);
}

}  // namespace lattice
