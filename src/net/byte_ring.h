// A connection's outbound circular byte buffer: none until the first write,
// then 1 KiB, at most 8 KiB. The block goes back as soon as the ring is empty
// and no send reads it, so an idle connection holds none; given-back blocks
// are kept for the next ring.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lattice {

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
  std::size_t Write(const void* bytes, std::size_t length);

  // The held bytes from head that are contiguous in memory.
  const std::uint8_t* ContiguousData() const { return data + head; }
  std::size_t ContiguousSize() const;

  // Releases n sent bytes; a count larger than what is held changes nothing.
  void Consume(std::uint64_t n);
  void Clear();

  // A transfer reads the held bytes where they lie until it completes: while
  // it is lent, the block outlives a write that moves the bytes to a larger one.
  void Lend() { lent = data; }
  void Return();

  std::uint64_t count = 0;
  std::uint64_t head = 0;
  std::uint64_t capacity = 0;
  std::uint8_t* data = nullptr;
  std::uint8_t* lent = nullptr;

 private:
  // Gives the block back once nothing is held or lent; the next write takes one.
  void ReleaseIfEmpty();
};

}  // namespace lattice
