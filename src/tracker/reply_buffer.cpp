#include "tracker/reply_buffer.h"

#include <algorithm>

namespace lattice {

std::vector<std::uint8_t>& ReplyBuffer() {
  static std::vector<std::uint8_t> buffer;
  return buffer;
}

void WriteDecimal(std::uint64_t value) {
  auto& buffer = ReplyBuffer();
  std::size_t start = buffer.size();
  do {
    buffer.push_back(static_cast<std::uint8_t>('0' + value % 10));
    value /= 10;
  } while (value != 0);
  std::reverse(buffer.begin() + static_cast<std::ptrdiff_t>(start), buffer.end());
}

void WriteString(const void* data, std::size_t length) {
  WriteDecimal(length);
  AppendChar(':');
  AppendRaw(data, length);
}

void WriteInteger(std::uint64_t value) {
  AppendChar('i');
  WriteDecimal(value);
  AppendChar('e');
}

void BeginMessage() {
  ReplyBuffer().clear();
  AppendToken("0000");
}

void FinishMessage() {
  auto& buffer = ReplyBuffer();
  auto body = static_cast<std::uint32_t>(buffer.size() - 4);
  buffer[0] = static_cast<std::uint8_t>(body >> 24);
  buffer[1] = static_cast<std::uint8_t>(body >> 16);
  buffer[2] = static_cast<std::uint8_t>(body >> 8);
  buffer[3] = static_cast<std::uint8_t>(body);
}

}  // namespace lattice
