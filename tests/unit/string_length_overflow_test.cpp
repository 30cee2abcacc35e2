#include <gtest/gtest.h>

#include <string>

#include "tracker/get_peers_request.h"

namespace lattice {
namespace {

bool Parses(const std::string& body) {
  std::string message(4, '\0');
  message[0] = static_cast<char>(body.size() >> 24);
  message[1] = static_cast<char>(body.size() >> 16);
  message[2] = static_cast<char>(body.size() >> 8);
  message[3] = static_cast<char>(body.size());
  message += body;
  GetPeersRequest request;
  return ParseGetPeers(reinterpret_cast<const std::uint8_t*>(message.data()), message.size(), request);
}

// Raw "la" values are echoed to other peers byte for byte; a declared length
// that only fits after wrapping at 2^32 would poison their decoders.
TEST(StringLengthOverflow, WrappedLengthsFailWhileLeadingZerosAndIntegersStillWrap) {
  EXPECT_TRUE(Parses("d2:la1:xe"));
  EXPECT_FALSE(Parses("d2:la4294967297:xe"));
  EXPECT_FALSE(Parses("d2:la18446744073709551617:xe"));
  EXPECT_TRUE(Parses("d2:la0000000000000000001:xe"));
  EXPECT_FALSE(Parses("d4294967298:lae"));  // a key length that wraps to 2
  // Integers keep the modulo rule: only their low bits are ever used.
  EXPECT_TRUE(Parses("d2:lpi4294967297ee"));
}

}  // namespace
}  // namespace lattice
