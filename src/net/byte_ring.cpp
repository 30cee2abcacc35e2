#include "net/byte_ring.h"

#include <cstring>
#include <new>

namespace lattice {
BlockCache::BlockCache() {
  for (int k = 0; k < kSizes; ++k) blocks[k].reserve(kKept[k]);
}

BlockCache::~BlockCache() {
  for (auto& kept : blocks)
    for (std::uint8_t* block : kept) delete[] block;
}

std::uint8_t* BlockCache::Take(std::uint64_t capacity) {
  const int k = SizeIndex(capacity);
  if (k < 0 || blocks[k].empty()) return new (std::nothrow) std::uint8_t[capacity];
  std::uint8_t* block = blocks[k].back();
  blocks[k].pop_back();
  return block;
}

void BlockCache::Give(std::uint8_t* block, std::uint64_t capacity) {
  if (block == nullptr) return;
  const int k = SizeIndex(capacity);
  if (k >= 0 && blocks[k].size() < kKept[k]) {
    blocks[k].push_back(block);
  } else {
    delete[] block;
  }
}

int BlockCache::SizeIndex(std::uint64_t capacity) {
  for (int k = 0; k < kSizes; ++k)
    if (capacity == ByteRing::kInitialCapacity << k) return k;
  return -1;
}

namespace {

std::uint8_t* TakeBlock(BlockCache* cache, std::uint64_t capacity) {
  return cache != nullptr ? cache->Take(capacity) : new (std::nothrow) std::uint8_t[capacity];
}

void GiveBlock(BlockCache* cache, std::uint8_t* block, std::uint64_t capacity) {
  if (cache != nullptr) {
    cache->Give(block, capacity);
  } else {
    delete[] block;
  }
}

}  // namespace

ByteRing::~ByteRing() {
  if (lent != data) delete[] lent;
  delete[] data;
}

void ByteRing::Release(BlockCache* cache) {
  Return(cache);
  GiveBlock(cache, data, capacity);
  data = nullptr;
  capacity = count = head = 0;
}

void ByteRing::Return(BlockCache* cache) {
  // Rare (a ring grew while a send was in flight): its size is not kept.
  if (lent != data) delete[] lent;
  lent = nullptr;
  ReleaseIfEmpty(cache);
}

void ByteRing::Clear(BlockCache* cache) {
  count = 0;
  head = 0;
  ReleaseIfEmpty(cache);
}

void ByteRing::ReleaseIfEmpty(BlockCache* cache) {
  if (count != 0 || lent != nullptr || data == nullptr) return;
  GiveBlock(cache, data, capacity);
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

std::size_t ByteRing::Write(const void* bytes, std::size_t length, BlockCache* cache) {
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
  auto* grown = TakeBlock(cache, newCapacity);
  if (grown == nullptr) return 0;
  std::size_t firstPart = static_cast<std::size_t>(count);
  if (head + count > capacity) firstPart = static_cast<std::size_t>(capacity - head);
  if (firstPart != 0) std::memcpy(grown, data + head, firstPart);
  if (count > firstPart) std::memcpy(grown + firstPart, data, static_cast<std::size_t>(count) - firstPart);
  if (length != 0) std::memcpy(grown + count, in, length);
  if (data != lent) GiveBlock(cache, data, capacity);
  data = grown;
  capacity = newCapacity;
  head = 0;
  count += length;
  return length;
}

void ByteRing::Consume(std::uint64_t n, BlockCache* cache) {
  if (n == count) {
    Clear(cache);
  } else if (n < count) {
    head += n;
    if (head >= capacity) head -= capacity;
    count -= n;
  }
}

}  // namespace lattice
