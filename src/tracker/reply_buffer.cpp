#include "tracker/reply_buffer.h"

namespace lattice {

void ReplyBuffer::WriteDecimal(std::uint64_t value) {
  char digits[20];  // 2^64 has 20 decimal digits
  std::size_t start = sizeof digits;
  do {
    digits[--start] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  AppendRaw(digits + start, sizeof digits - start);
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

void ReplyBuffer::BeginMessage() {
  used = 0;
  AppendToken("0000");
}

void ReplyBuffer::FinishMessage() {
  auto body = static_cast<std::uint32_t>(used - 4);
  bytes[0] = static_cast<std::uint8_t>(body >> 24);
  bytes[1] = static_cast<std::uint8_t>(body >> 16);
  bytes[2] = static_cast<std::uint8_t>(body >> 8);
  bytes[3] = static_cast<std::uint8_t>(body);
}

}  // namespace lattice
