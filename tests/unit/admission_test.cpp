#include <gtest/gtest.h>

#include "fake_socket.h"
#include "net/admission.h"

namespace lattice::test {
namespace {

std::string V6(std::uint16_t group1, std::uint16_t group4, std::uint16_t last) {
  std::string a(18, '\0');
  a[0] = static_cast<char>(group1 >> 8);
  a[1] = static_cast<char>(group1);
  a[6] = static_cast<char>(group4 >> 8);
  a[7] = static_cast<char>(group4);
  a[14] = static_cast<char>(last >> 8);
  a[15] = static_cast<char>(last);
  return a;
}

std::string Mapped(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  std::string m(10, '\0');
  return m + "\xFF\xFF" + std::string{static_cast<char>(a), static_cast<char>(b), static_cast<char>(c),
                                      static_cast<char>(d)} + std::string(2, '\0');
}

class AdmissionTest : public TrackerTest {
 protected:
  void SetUp() override {
    TrackerTest::SetUp();
    ResetAdmission();
  }
  void TearDown() override {
    ResetAdmission();
    TrackerTest::TearDown();
  }
  bool Admit(const std::string& address) {
    sockets.push_back(std::make_unique<FakeSocket>());
    sockets.back()->SetAddress(address);
    return AdmitConnection(*sockets.back());
  }
  std::vector<std::unique_ptr<FakeSocket>> sockets;
};

TEST_F(AdmissionTest, AddressesCountPerIpv4AndPerIpv6Slash64AndAllTogether) {
  limits.maxConnectionsPerAddress = 2;
  limits.maxConnections = 5;
  EXPECT_TRUE(Admit(V4(10, 0, 0, 1, 1)));
  EXPECT_TRUE(Admit(V4(10, 0, 0, 1, 2)));
  EXPECT_FALSE(Admit(Mapped(10, 0, 0, 1)));  // the same IPv4 address over IPv6
  EXPECT_TRUE(Admit(V6(0x2001, 1, 1)));
  EXPECT_TRUE(Admit(V6(0x2001, 1, 2)));
  EXPECT_FALSE(Admit(V6(0x2001, 1, 3)));  // the same /64
  EXPECT_TRUE(Admit(V6(0x2001, 2, 1)));
  EXPECT_FALSE(Admit(V4(10, 0, 0, 2, 1)));  // five in all
  EXPECT_EQ(AdmittedConnections(), 5u);
  EXPECT_EQ(trackerStats.limitHits[kLimitPerAddress], 2u);
  EXPECT_EQ(trackerStats.limitHits[kLimitConnections], 1u);

  // A place given back is taken again, once: a second release changes nothing.
  ReleaseConnection(*sockets[0]);
  ReleaseConnection(*sockets[0]);
  ReleaseConnection(*sockets[2]);  // never admitted
  EXPECT_EQ(AdmittedConnections(), 4u);
  EXPECT_TRUE(Admit(Mapped(10, 0, 0, 1)));
  EXPECT_FALSE(Admit(V4(10, 0, 0, 3, 1)));
}

}  // namespace
}  // namespace lattice::test
