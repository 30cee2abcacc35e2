// A connection's outbound circular byte buffer: none until the first write,
// then 1 KiB, at most 8 KiB. The block goes back as soon as the ring is empty
// and no send reads it, so an idle connection holds none; given-back blocks
// are kept in the loop's BlockCache for the next ring.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lattice {

// Blocks of each ring size (1, 2, 4 and 8 KiB) given back by emptied rings,
// kept for the next ring that needs one. A busy connection empties its ring
// at every completed send, so without them every send would cost an
// allocation; with them an idle connection still holds no block, and freed
// blocks are reused at once instead of leaving holes among younger objects.
// One per loop: its rings live on its thread.
class BlockCache {
 public:
  static constexpr int kSizes = 4;
  // Per size. A pass can fill the rings of thousands of connections at once
  // (each request introduces its requester to up to 15 peers, whose uTP
  // rings empty again in the same pass), so the smallest size keeps the
  // most: at most 1 MiB + 512 KiB + 256 KiB + 256 KiB in all.
  static constexpr std::size_t kKept[kSizes] = {1024, 256, 64, 32};

  // Room for every kept block is made here, so giving one back never allocates.
  BlockCache();
  ~BlockCache();
  BlockCache(const BlockCache&) = delete;
  BlockCache& operator=(const BlockCache&) = delete;

  std::uint8_t* Take(std::uint64_t capacity);
  void Give(std::uint8_t* block, std::uint64_t capacity);

 private:
  static int SizeIndex(std::uint64_t capacity);
  std::vector<std::uint8_t*> blocks[kSizes];
};

// Calls that take or give back a block take the cache to use; without one
// (a test's ring) blocks come from and go to the heap.
class ByteRing {
 public:
  static constexpr std::uint64_t kInitialCapacity = 1024;
  static constexpr std::uint64_t kMaxCapacity = 8192;

  ByteRing() = default;
  ~ByteRing();
  ByteRing(const ByteRing&) = delete;
  ByteRing& operator=(const ByteRing&) = delete;

  // Appends all bytes or none: a message that would push the ring past its
  // limit is refused whole. Returns length on success, 0 when refused.
  std::size_t Write(const void* bytes, std::size_t length, BlockCache* cache = nullptr);

  // The held bytes from head that are contiguous in memory.
  const std::uint8_t* ContiguousData() const { return data + head; }
  std::size_t ContiguousSize() const;

  // Releases n sent bytes; a count larger than what is held changes nothing.
  void Consume(std::uint64_t n, BlockCache* cache = nullptr);
  void Clear(BlockCache* cache = nullptr);
  // Gives the block back whatever it holds; for a ring about to be destroyed
  // with nothing lent.
  void Release(BlockCache* cache);

  // A transfer reads the held bytes where they lie until it completes: while
  // it is lent, the block outlives a write that moves the bytes to a larger one.
  void Lend() { lent = data; }
  void Return(BlockCache* cache = nullptr);

  std::uint64_t count = 0;
  std::uint64_t head = 0;
  std::uint64_t capacity = 0;
  std::uint8_t* data = nullptr;
  std::uint8_t* lent = nullptr;

 private:
  // Gives the block back once nothing is held or lent; the next write takes one.
  void ReleaseIfEmpty(BlockCache* cache);
};

}  // namespace lattice
