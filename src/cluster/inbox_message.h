// What one node sends another's inbox in one loop pass: introductions, each
// once, with the tokens of the connections it goes to. Each entry: the
// introduction's length (4 bytes, big-endian), the introduction as it goes
// on the wire, the epoch of the receiving node the tokens were issued in (8
// bytes: a restarted node's tables are new, so older tokens name nothing),
// the token count (4 bytes), the tokens (8 bytes each).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lattice::cluster {

// The most an inbox message carries; a pass that has more sends more.
inline constexpr std::size_t kMaxInboxMessageBytes = 256 * 1024;

inline void AppendBigEndian(std::string& out, std::uint64_t value, int bytes) {
  for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8) out.push_back(static_cast<char>(value >> shift));
}

inline void AppendIntroduction(std::string& message, std::string_view introduction, std::uint64_t epoch,
                               const std::vector<std::uint64_t>& tokens) {
  AppendBigEndian(message, introduction.size(), 4);
  message.append(introduction);
  AppendBigEndian(message, epoch, 8);
  AppendBigEndian(message, tokens.size(), 4);
  for (std::uint64_t t : tokens) AppendBigEndian(message, t, 8);
}

// Calls deliver(introduction, epoch, token) for every token, in order. False when
// the message is malformed: what came before the fault was delivered.
template <typename Deliver>
bool ForEachIntroduction(std::string_view message, Deliver deliver) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(message.data());
  std::size_t left = message.size();
  auto read = [&](int bytes, std::uint64_t& value) {
    if (left < static_cast<std::size_t>(bytes)) return false;
    value = 0;
    for (int i = 0; i < bytes; ++i) value = value << 8 | p[i];
    p += bytes;
    left -= static_cast<std::size_t>(bytes);
    return true;
  };
  while (left != 0) {
    std::uint64_t length = 0, epoch = 0, count = 0;
    if (!read(4, length) || left < length) return false;
    const std::string_view introduction(reinterpret_cast<const char*>(p), static_cast<std::size_t>(length));
    p += length;
    left -= static_cast<std::size_t>(length);
    if (!read(8, epoch) || !read(4, count) || left / 8 < count) return false;
    for (std::uint64_t i = 0; i < count; ++i) {
      std::uint64_t token = 0;
      read(8, token);
      deliver(introduction, epoch, token);
    }
  }
  return true;
}

}  // namespace lattice::cluster
