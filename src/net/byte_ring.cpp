#include "net/byte_ring.h"

#include <cstring>
#include <new>

namespace lattice {

ByteRing::~ByteRing() {
  Return();
  delete[] data;
}

void ByteRing::Return() {
  if (lent != data) delete[] lent;
  lent = nullptr;
}

void ByteRing::Release() {
  if (count != 0 || lent != nullptr) return;
  delete[] data;
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
  auto* grown = new (std::nothrow) std::uint8_t[newCapacity];
  if (grown == nullptr) return 0;
  std::size_t firstPart = static_cast<std::size_t>(count);
  if (head + count > capacity) firstPart = static_cast<std::size_t>(capacity - head);
  if (firstPart != 0) std::memcpy(grown, data + head, firstPart);
  if (count > firstPart) std::memcpy(grown + firstPart, data, static_cast<std::size_t>(count) - firstPart);
  if (length != 0) std::memcpy(grown + count, in, length);
  if (data != lent) delete[] data;
  data = grown;
  capacity = newCapacity;
  head = 0;
  count += length;
  return length;
}

void ByteRing::Consume(std::uint64_t n) {
  if (n == count) {
    count = 0;
    head = 0;
  } else if (n < count) {
    head += n;
    if (head >= capacity) head -= capacity;
    count -= n;
  }
}

}  // namespace lattice
