// Admission of new connections: the total and per-address bounds.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "log/log.h"
#include "tracker/connection.h"
#include "tracker/tracker.h"

namespace lattice {

class Socket;

// An IPv4 address, or the first 64 bits of an IPv6 one: one subscriber's
// prefix. IPv4-mapped IPv6 addresses count as the IPv4 address they carry.
struct AddressKey {
  std::uint8_t bytes[9] = {};
  friend bool operator==(const AddressKey& a, const AddressKey& b);
};

struct AddressKeyHash {
  std::size_t operator()(const AddressKey& k) const;
};

class Admission {
 public:
  // Counts a connection from this address against the bounds of the
  // tracker's Limits. False when a bound is hit: that is counted and logged
  // here, and the caller closes the connection at once.
  bool Admit(Tracker& tracker, const CompactAddress& address);
  // Gives the place back; once per admitted connection.
  void Release(const CompactAddress& address);
  std::uint64_t Total() const { return total; }

 private:
  std::uint64_t total = 0;
  LogLimiter totalLines;
  LogLimiter perAddressLines;
  std::unordered_map<AddressKey, std::uint32_t, AddressKeyHash> perAddress;
};

// Gives the connection's place back if it had one; called by Close.
void ReleaseConnection(Socket& socket);

}  // namespace lattice
