// The one reusable buffer into which every outgoing message is encoded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lattice {

// Cleared, never shrunk: encoding allocates nothing once it has grown to the
// largest message so far. Bytes stay valid until the next encoding begins.
class ReplyBuffer {
 public:
  void AppendRaw(const void* data, std::size_t length) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    bytes.insert(bytes.end(), p, p + length);
  }
  template <std::size_t N>
  void AppendToken(const char (&token)[N]) { AppendRaw(token, N - 1); }
  void AppendChar(char c) { bytes.push_back(static_cast<std::uint8_t>(c)); }

  void WriteDecimal(std::uint64_t value);
  void WriteString(const void* data, std::size_t length);
  void WriteInteger(std::uint64_t value);

  // A message starts with a four-character placeholder for its length prefix,
  // filled in once the body is complete, so nothing is measured twice.
  void BeginMessage();
  void FinishMessage();

  const std::uint8_t* data() const { return bytes.data(); }
  std::size_t size() const { return bytes.size(); }

 private:
  std::vector<std::uint8_t> bytes;
};

}  // namespace lattice
