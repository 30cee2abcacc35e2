// Redis Cluster's hash slot of a key, free of any library so that every
// build can route (or refuse to) by it.
#pragma once

#include <cstdint>
#include <string_view>

namespace lattice::cluster {

inline constexpr std::uint16_t kSlotCount = 16384;

// CRC16-XMODEM (polynomial 0x1021, no reflection, initial value 0), the one
// Redis Cluster uses; bitwise, since keys are short.
constexpr std::uint16_t Crc16Xmodem(std::string_view bytes) {
  std::uint16_t crc = 0;
  for (char c : bytes) {
    crc = static_cast<std::uint16_t>(crc ^ (static_cast<std::uint8_t>(c) << 8));
    for (int bit = 0; bit < 8; ++bit)
      crc = static_cast<std::uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

// Only the part between the first '{' and the next '}' counts, when that
// part is not empty: keys sharing a tag share a slot.
constexpr std::uint16_t SlotOfKey(std::string_view key) {
  const std::size_t open = key.find('{');
  if (open != std::string_view::npos) {
    const std::size_t close = key.find('}', open + 1);
    if (close != std::string_view::npos && close > open + 1) key = key.substr(open + 1, close - open - 1);
  }
  return static_cast<std::uint16_t>(Crc16Xmodem(key) & (kSlotCount - 1));
}

}  // namespace lattice::cluster
