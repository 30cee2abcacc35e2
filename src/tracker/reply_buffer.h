// The one reusable buffer into which every outgoing message is encoded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace lattice {

// Cleared, never shrunk: encoding allocates nothing once it has grown to the
// largest message so far. Bytes stay valid until the next encoding begins.
std::vector<std::uint8_t>& ReplyBuffer();

inline void AppendRaw(const void* data, std::size_t length) {
  auto& buffer = ReplyBuffer();
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  buffer.insert(buffer.end(), bytes, bytes + length);
}
template <std::size_t N>
inline void AppendToken(const char (&token)[N]) { AppendRaw(token, N - 1); }
inline void AppendChar(char c) { ReplyBuffer().push_back(static_cast<std::uint8_t>(c)); }

void WriteDecimal(std::uint64_t value);
void WriteString(const void* data, std::size_t length);
void WriteInteger(std::uint64_t value);

// A message starts with a four-character placeholder for its length prefix,
// filled in once the body is complete, so nothing is measured twice.
void BeginMessage();
void FinishMessage();

}  // namespace lattice
