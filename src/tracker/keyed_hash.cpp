// A fast keyed hash for client-chosen ids (multiply-fold mixing, as in wyhash).
#include <chrono>
#include <cstring>

#include "platform/random_source.h"
#include "tracker/peer_ids.h"

namespace lattice {
namespace {

struct HashKey {
  std::uint64_t k0, k1, k2;
};

HashKey MakeKey() {
  std::uint64_t words[3] = {};
  if (!platform::FillRandomBytes(reinterpret_cast<std::uint8_t*>(words), sizeof words)) {
    // Without the random source the key still differs between runs, which is
    // all the collision defence needs when the platform source is down.
    auto ticks = static_cast<std::uint64_t>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    words[0] = ticks * 0x9E3779B97F4A7C15ULL;
    words[1] = ~ticks * 0xC2B2AE3D27D4EB4FULL;
    words[2] = ticks ^ 0x165667B19E3779F9ULL;
  }
  return {words[0] | 1, words[1] | 1, words[2]};
}

const HashKey& Key() {
  static const HashKey key = MakeKey();
  return key;
}

inline std::uint64_t Fold(std::uint64_t a, std::uint64_t b) {
  unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

inline std::uint64_t Load(const std::uint8_t* p, std::size_t n) {
  std::uint64_t v = 0;
  std::memcpy(&v, p, n);
  return v;
}

}  // namespace

std::uint64_t KeyedHash(const std::uint8_t* data, std::size_t size) {
  const HashKey& key = Key();
  std::uint64_t h = key.k2 ^ size;
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) h = Fold(h ^ Load(data + i, 8) ^ key.k0, key.k1);
  if (i < size) h = Fold(h ^ Load(data + i, size - i) ^ key.k0, key.k1);
  return Fold(h ^ key.k0, key.k1 ^ size);
}

}  // namespace lattice
