// The one reusable buffer into which every outgoing message is encoded.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace lattice {

// Cleared, never shrunk: encoding allocates nothing once it has grown to the
// largest message so far. Bytes stay valid until the next encoding begins.
class ReplyBuffer {
 public:
  void AppendRaw(const void* data, std::size_t length) {
    std::memcpy(Room(length), data, length);
    used += length;
  }
  template <std::size_t N>
  void AppendToken(const char (&token)[N]) { AppendRaw(token, N - 1); }
  void AppendChar(char c) {
    *Room(1) = static_cast<std::uint8_t>(c);
    ++used;
  }

  void WriteDecimal(std::uint64_t value);
  void WriteString(const void* data, std::size_t length);
  void WriteInteger(std::uint64_t value);

  // A message starts with a four-character placeholder for its length prefix,
  // filled in once the body is complete, so nothing is measured twice.
  void BeginMessage();
  void FinishMessage();

  const std::uint8_t* data() const { return bytes.data(); }
  std::size_t size() const { return used; }

 private:
  // Where `length` more bytes go. The storage only grows, and by doubling;
  // the encoder's many small appends are then a bounds check and a copy.
  std::uint8_t* Room(std::size_t length) {
    if (bytes.size() - used < length) bytes.resize(std::max(2 * bytes.size(), used + length));
    return bytes.data() + used;
  }

  std::vector<std::uint8_t> bytes;  // its size is the capacity in use
  std::size_t used = 0;
};

}  // namespace lattice
