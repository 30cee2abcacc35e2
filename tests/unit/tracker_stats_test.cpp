#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "fake_socket.h"

namespace lattice::test {
namespace {

class StatisticsTest : public TrackerTest {
 protected:
  void SetUp() override {
    TrackerTest::SetUp();
    out = std::tmpfile();
    ASSERT_NE(out, nullptr);
  }
  void TearDown() override {
    if (out != nullptr) std::fclose(out);
    TrackerTest::TearDown();
  }
  // Text written since the previous call.
  std::string Printed() {
    std::string all = ReadAll(out);
    std::string fresh = all.substr(seen);
    seen = all.size();
    std::fseek(out, 0, SEEK_END);
    return fresh;
  }
  std::FILE* out = nullptr;
  std::size_t seen = 0;
};

void Fill(std::uint64_t (&counters)[3], std::uint64_t udp, std::uint64_t tcp, std::uint64_t utp) {
  counters[Udp] = udp;
  counters[Tcp] = tcp;
  counters[Utp] = utp;
}

TEST_F(StatisticsTest, ReportPrintsEveryCounterThenResetsThePeriod) {
  TrackerStats& s = trackerStats;
  Fill(s.active, 90, 1, 2);
  Fill(s.getPeersTotal, 91, 3, 4);
  Fill(s.peersSentTotal, 92, 18446744073709551615ULL, 6);
  Fill(s.registered, 93, 7, 8);
  Fill(s.unregistered, 94, 9, 10);
  Fill(s.getPeersPeriod, 95, 11, 12);
  Fill(s.peersSentPeriod, 96, 13, 14);
  for (int k = 0; k < kLimitKinds; ++k) s.limitHits[k] = 21 + k;
  ASSERT_TRUE(ReportStatisticsTo(out));  // lastReport 0: due at once
  // "TCP" starts in column 20 of every counter line; Udp is never printed.
  EXPECT_EQ(Printed(),
            "\n2023-11-14 22:13:20\n"
            "active peers:      TCP 1\tuTP 2\n"
            "total:\n"
            " 'get_peers' recv: TCP 3\tuTP 4\n"
            " 'peers' sent:     TCP 18446744073709551615\tuTP 6\n"
            "last 10 seconds:\n"
            " registered:       TCP 7\tuTP 8\n"
            " unregistered:     TCP 9\tuTP 10\n"
            " 'get_peers' recv: TCP 11\tuTP 12\n"
            " 'peers' sent:     TCP 13\tuTP 14\n"
            "limits hit:        descriptors 21\tconnections 22\taddress 23\tpeer ids 24\tla 25\t"
            "per peer id 26\tregistry bytes 27\tpending uTP 28\n");
  EXPECT_EQ(s.lastReport, kTime);
  for (int k : {Udp, Tcp, Utp}) {
    EXPECT_EQ(s.registered[k], 0u) << k;
    EXPECT_EQ(s.unregistered[k], 0u) << k;
    EXPECT_EQ(s.getPeersPeriod[k], 0u) << k;
    EXPECT_EQ(s.peersSentPeriod[k], 0u) << k;
  }
  EXPECT_EQ(s.active[Tcp], 1u);
  EXPECT_EQ(s.active[Udp], 90u);
  EXPECT_EQ(s.getPeersTotal[Utp], 4u);
  EXPECT_EQ(s.peersSentTotal[Udp], 92u);
  EXPECT_EQ(s.limitHits[kLimitPendingUtp], 28u);  // counted since start
}

TEST_F(StatisticsTest, ReportWaitsForThePeriodOfTheLoopClock) {
  trackerStats.lastReport = kTime;
  trackerStats.getPeersPeriod[Tcp] = 1;
  SetLoopClock(kTime + 9);
  EXPECT_FALSE(ReportStatisticsTo(out));
  EXPECT_EQ(Printed(), "");
  EXPECT_EQ(trackerStats.getPeersPeriod[Tcp], 1u);

  SetLoopClock(kTime + 10);
  EXPECT_TRUE(ReportStatisticsTo(out));
  EXPECT_NE(Printed().find("\n 'get_peers' recv: TCP 1\tuTP 0\n 'peers' sent"), std::string::npos);
  EXPECT_FALSE(ReportStatisticsTo(out));  // the same second again

  // A late pass still reports "last 10 seconds", and the next period counts from it.
  SetLoopClock(kTime + 35);
  EXPECT_TRUE(ReportStatisticsTo(out));
  const std::string late = Printed();
  EXPECT_EQ(late.substr(0, 21), "\n2023-11-14 22:13:55\n");
  EXPECT_NE(late.find("\nlast 10 seconds:\n"), std::string::npos);
  SetLoopClock(kTime + 44);
  EXPECT_FALSE(ReportStatisticsTo(out));
}

}  // namespace
}  // namespace lattice::test
