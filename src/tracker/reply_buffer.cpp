#include "tracker/reply_buffer.h"

#include <algorithm>

namespace lattice {

void ReplyBuffer::WriteDecimal(std::uint64_t value) {
  std::size_t start = bytes.size();
  do {
    bytes.push_back(static_cast<std::uint8_t>('0' + value % 10));
    value /= 10;
  } while (value != 0);
  std::reverse(bytes.begin() + static_cast<std::ptrdiff_t>(start), bytes.end());
}

void ReplyBuffer::WriteString(const void* data, std::size_t length) {
  WriteDecimal(length);
  AppendChar(':');
  AppendRaw(data, length);
}

void ReplyBuffer::WriteInteger(std::uint64_t value) {
  AppendChar('i');
  WriteDecimal(value);
  AppendChar('e');
}

void ReplyBuffer::BeginMessage() { bytes.assign(4, '0'); }

void ReplyBuffer::FinishMessage() {
  auto body = static_cast<std::uint32_t>(bytes.size() - 4);
  bytes[0] = static_cast<std::uint8_t>(body >> 24);
  bytes[1] = static_cast<std::uint8_t>(body >> 16);
  bytes[2] = static_cast<std::uint8_t>(body >> 8);
  bytes[3] = static_cast<std::uint8_t>(body);
}

}  // namespace lattice
