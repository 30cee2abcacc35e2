// A connection's outbound circular byte buffer, 1 KiB at first, at most 8 KiB.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lattice {

class ByteRing {
 public:
  static constexpr std::uint64_t kInitialCapacity = 1024;
  static constexpr std::uint64_t kMaxCapacity = 8192;

  ByteRing();
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
  void Clear() { count = 0; head = 0; }

  std::uint64_t count = 0;
  std::uint64_t head = 0;
  std::uint64_t capacity = 0;
  std::uint8_t* data = nullptr;
};

}  // namespace lattice
