#include "net/byte_ring.h"

#include <cstring>
#include <new>

namespace lattice {
namespace {

// Blocks of each ring size (1, 2, 4 and 8 KiB) given back by emptied rings,
// kept for the next ring that needs one. A busy connection empties its ring
// at every completed send, so without them every send would cost an
// allocation; with them an idle connection still holds no block, and freed
// blocks are reused at once instead of leaving holes among younger objects.
class BlockCache {
 public:
  static constexpr int kSizes = 4;
  static constexpr std::size_t kKept = 64;  // per size: at most 960 KiB in all

  std::uint8_t* Take(std::uint64_t capacity) {
    const int k = SizeIndex(capacity);
    if (k >= 0 && kept[k] != 0) return blocks[k][--kept[k]];
    return new (std::nothrow) std::uint8_t[capacity];
  }
  void Give(std::uint8_t* block, std::uint64_t capacity) {
    if (block == nullptr) return;
    const int k = SizeIndex(capacity);
    if (k >= 0 && kept[k] < kKept)
      blocks[k][kept[k]++] = block;
    else
      delete[] block;
  }

 private:
  static int SizeIndex(std::uint64_t capacity) {
    for (int k = 0; k < kSizes; ++k)
      if (capacity == ByteRing::kInitialCapacity << k) return k;
    return -1;
  }
  std::uint8_t* blocks[kSizes][kKept] = {};
  std::size_t kept[kSizes] = {};
};

// Rings live on the one loop thread, so one cache serves them all. Not
// thread_local: under Wine a thread-local object with a destructor kept the
// service's process from exiting after its loop thread ended. No destructor
// either, so a ring destroyed during exit never meets a destroyed cache; the
// blocks it keeps stay reachable and go with the process.
BlockCache cache;

}  // namespace

ByteRing::~ByteRing() {
  Return();
  cache.Give(data, capacity);
}

void ByteRing::Return() {
  // Rare (a ring grew while a send was in flight): its size is not kept.
  if (lent != data) delete[] lent;
  lent = nullptr;
  ReleaseIfEmpty();
}

void ByteRing::Clear() {
  count = 0;
  head = 0;
  ReleaseIfEmpty();
}

void ByteRing::ReleaseIfEmpty() {
  if (count != 0 || lent != nullptr || data == nullptr) return;
  cache.Give(data, capacity);
  data = nullptr;
  capacity = 0;
  head = 0;
}

std::size_t ByteRing::ContiguousSize() const {
  if (count == 0) return 0;
  std::uint64_t tail = head + count;
  if (tail >= capacity) tail -= capacity;
  return static_cast<std::size_t>(tail > head ? tail - head : capacity - head);
}

std::size_t ByteRing::Write(const void* bytes, std::size_t length) {
  const auto* in = static_cast<const std::uint8_t*>(bytes);
  if (count + length <= capacity) {
    std::uint64_t tail = head + count;
    if (tail >= capacity) tail -= capacity;
    if (head != 0 && tail > head) {
      // Held bytes do not wrap: fill to the end of the block, then from 0.
      std::size_t first = static_cast<std::size_t>(capacity - tail);
      if (first > length) first = length;
      std::memcpy(data + tail, in, first);
      std::memcpy(data, in + first, length - first);
    } else if (length != 0) {
      std::memcpy(data + tail, in, length);
    }
    count += length;
    return length;
  }
  std::uint64_t newCapacity = capacity == 0 ? kInitialCapacity : capacity * 2;
  while (newCapacity < count + length) newCapacity *= 2;
  if (newCapacity > kMaxCapacity) return 0;
  auto* grown = cache.Take(newCapacity);
  if (grown == nullptr) return 0;
  std::size_t firstPart = static_cast<std::size_t>(count);
  if (head + count > capacity) firstPart = static_cast<std::size_t>(capacity - head);
  if (firstPart != 0) std::memcpy(grown, data + head, firstPart);
  if (count > firstPart) std::memcpy(grown + firstPart, data, static_cast<std::size_t>(count) - firstPart);
  if (length != 0) std::memcpy(grown + count, in, length);
  if (data != lent) cache.Give(data, capacity);
  data = grown;
  capacity = newCapacity;
  head = 0;
  count += length;
  return length;
}

void ByteRing::Consume(std::uint64_t n) {
  if (n == count) {
    Clear();
  } else if (n < count) {
    head += n;
    if (head >= capacity) head -= capacity;
    count -= n;
  }
}

}  // namespace lattice
