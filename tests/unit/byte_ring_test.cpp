#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "net/byte_ring.h"

namespace lattice {
namespace {

std::string Drain(ByteRing& ring) {
  std::string out;
  while (ring.count != 0) {
    std::size_t n = ring.ContiguousSize();
    out.append(reinterpret_cast<const char*>(ring.ContiguousData()), n);
    ring.Consume(n);
  }
  return out;
}

TEST(ByteRing, WrappedWritesLandInTheGapAndGrowthKeepsOrder) {
  ByteRing ring;
  std::string a(1000, 'a');
  ASSERT_EQ(ring.Write(a.data(), a.size()), a.size());
  ring.Consume(900);  // head at 900, 100 bytes held
  std::string b(300, 'b');
  ASSERT_EQ(ring.Write(b.data(), b.size()), b.size());  // wraps: 124 at the end, 176 from 0
  EXPECT_EQ(ring.capacity, 1024u);
  EXPECT_EQ(ring.ContiguousSize(), 124u);  // head to the end of the block
  std::string c(700, 'c');
  ASSERT_EQ(ring.Write(c.data(), c.size()), c.size());  // needs growth to 2048
  EXPECT_EQ(ring.capacity, 2048u);
  EXPECT_EQ(ring.head, 0u);
  EXPECT_EQ(Drain(ring), std::string(100, 'a') + b + c);
  EXPECT_EQ(ring.head, 0u);
}

TEST(ByteRing, RefusesWholeMessagesPastTheLimitAndStillTakesSmallerOnes) {
  ByteRing ring;
  std::string big(8000, 'x');
  ASSERT_EQ(ring.Write(big.data(), big.size()), big.size());
  std::string over(193, 'y');
  EXPECT_EQ(ring.Write(over.data(), over.size()), 0u);
  EXPECT_EQ(ring.count, 8000u);
  std::string fits(192, 'z');
  EXPECT_EQ(ring.Write(fits.data(), fits.size()), fits.size());
  EXPECT_EQ(ring.capacity, 8192u);
  ring.Consume(9000);  // larger than held: no change
  EXPECT_EQ(ring.count, 8192u);
}

}  // namespace
}  // namespace lattice
