// A connection object without I/O, so the fuzz targets can drive the
// protocol core the way the transports do.
#pragma once

#include <cstdint>
#include <cstring>

#include "net/socket.h"
#include "platform/address_family.h"
#include "tracker/peer_registry.h"

namespace lattice_fuzz {

class FakeSocket final : public lattice::Socket {
 public:
  explicit FakeSocket(int kind) : Socket(0), kind_(kind) {}

  int Kind() const override { return kind_; }

  // What the transports' close does to the registry; a second close must not
  // unbind again.
  void Close() override {
    if (closed) return;
    closed = true;
    for (const lattice::PeerId& id : registrations) lattice::UnbindPeer(*this, id);
  }

 private:
  int kind_;
};

// Socket addresses as the system lays them out: family, port (network order),
// then the address bytes (IPv4 at offset 4, IPv6 at offset 8).
inline void SetIpv4(lattice::AddressStorage& storage, const std::uint8_t address[4], std::uint16_t port) {
  std::memset(storage.bytes, 0, sizeof storage.bytes);
  std::uint16_t family = platform::kFamilyInet;
  std::memcpy(storage.bytes, &family, 2);
  storage.bytes[2] = static_cast<std::uint8_t>(port >> 8);
  storage.bytes[3] = static_cast<std::uint8_t>(port);
  std::memcpy(storage.bytes + 4, address, 4);
}

inline void SetIpv6(lattice::AddressStorage& storage, const std::uint8_t address[16], std::uint16_t port) {
  std::memset(storage.bytes, 0, sizeof storage.bytes);
  std::uint16_t family = platform::kFamilyInet6;
  std::memcpy(storage.bytes, &family, 2);
  storage.bytes[2] = static_cast<std::uint8_t>(port >> 8);
  storage.bytes[3] = static_cast<std::uint8_t>(port);
  std::memcpy(storage.bytes + 8, address, 16);
}

// The 6- or 18-byte compact form the tracker writes; 0 for other families.
inline std::size_t CompactForm(const lattice::AddressStorage& storage, std::uint8_t out[18]) {
  std::uint16_t family;
  std::memcpy(&family, storage.bytes, 2);
  if (family == platform::kFamilyInet) {
    std::memcpy(out, storage.bytes + 4, 4);
    std::memcpy(out + 4, storage.bytes + 2, 2);
    return 6;
  }
  if (family == platform::kFamilyInet6) {
    std::memcpy(out, storage.bytes + 8, 16);
    std::memcpy(out + 16, storage.bytes + 2, 2);
    return 18;
  }
  return 0;
}

}  // namespace lattice_fuzz
