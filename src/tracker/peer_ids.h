// Peer and share identifiers and their keyed hashes.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

namespace lattice {

struct PeerId {
  std::array<std::uint8_t, 20> bytes{};

  static PeerId From(const std::uint8_t* data) {
    PeerId id;
    std::memcpy(id.bytes.data(), data, 20);
    return id;
  }
  friend bool operator==(const PeerId& a, const PeerId& b) { return a.bytes == b.bytes; }
  // Unsigned bytewise order, the order of the "pwl" set.
  friend bool operator<(const PeerId& a, const PeerId& b) { return a.bytes < b.bytes; }
};

// A share id is exactly 20 or 32 bytes; the length is part of its identity.
struct ShareId {
  std::uint8_t length = 0;
  std::array<std::uint8_t, 32> bytes{};

  static ShareId From(const std::uint8_t* data, std::uint32_t size) {
    ShareId id;
    id.length = static_cast<std::uint8_t>(size);
    std::memcpy(id.bytes.data(), data, size);
    return id;
  }
  const std::uint8_t* data() const { return bytes.data(); }
  friend bool operator==(const ShareId& a, const ShareId& b) {
    return a.length == b.length && std::memcmp(a.bytes.data(), b.bytes.data(), a.length) == 0;
  }
};

// Ids are chosen by clients, so an unkeyed hash would let one client pile any
// number of ids into one bucket. Every byte is mixed with a per-process secret.
std::uint64_t KeyedHash(const std::uint8_t* data, std::size_t size);

struct PeerIdHash {
  std::size_t operator()(const PeerId& id) const {
    return static_cast<std::size_t>(KeyedHash(id.bytes.data(), id.bytes.size()));
  }
};

struct ShareIdHash {
  std::size_t operator()(const ShareId& id) const {
    return static_cast<std::size_t>(KeyedHash(id.bytes.data(), id.length));
  }
};

}  // namespace lattice
