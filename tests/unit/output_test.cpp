// What the tracker prints: log lines, their rate limit and queue, and the
// periodic statistics report.
#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "log/log_queue.h"
#include "test_support.h"

namespace lattice::test {
namespace {

using LogTest = TrackerTest;
const std::string kStamp = "2023-11-14 22:13:20 ";

TEST_F(LogTest, LinesAreStampedWithTheLoopClockAndPrintedAsGiven) {
  Log("first %d", 1);
  Log("error %d (%s)", 10054, "100%d %s done");  // per-cent signs in arguments stay
  const std::string longest(1002, 'x');
  Log("%s", longest.c_str());
  Log("%sy", longest.c_str());  // more than 1023 characters: dropped whole
  Log("done\n");                // a format ending in a line feed leaves an empty line
  SetClock(kTime + 61);
  Log("third");
  SetClock(0);
  Log("epoch");
  EXPECT_EQ(LogText(), kStamp + "first 1\n" + kStamp + "error 10054 (100%d %s done)\n" + kStamp + longest + "\n" +
                           kStamp + "done\n\n2023-11-14 22:14:21 third\n1970-01-01 00:00:00 epoch\n");
}

TEST_F(LogTest, LimitedLinesStopAtFivePerSecondThenTellHowManyWereSuppressed) {
  LogLimiter limiter;
  for (int i = 0; i < 8; ++i) LogLimited(limiter, "line %d", i);
  SetClock(kTime + 1);
  LogLimited(limiter, "line %d", 8);
  LogLimited(limiter, "line %d", 9);
  std::string expected;
  for (int i = 0; i < 5; ++i) expected += kStamp + "line " + std::to_string(i) + "\n";
  const std::string next = "2023-11-14 22:13:21 ";
  expected += next + "line 8\n" + next + "(3 more lines like the one above were suppressed)\n" + next + "line 9\n";
  EXPECT_EQ(LogText(), expected);
}

TEST_F(LogTest, FullQueueDropsWholeTextsAndTellsTheCountAfterWhatItKept) {
  LogQueue queue(20);
  EXPECT_TRUE(queue.Push("0123456789\n"));
  EXPECT_FALSE(queue.Push("abcdefghij\n"));  // one byte too many
  EXPECT_TRUE(queue.Push("abcdefgh\n"));     // fills it exactly
  EXPECT_FALSE(queue.Push("x"));
  std::string batch = "left from before";
  queue.Take(&batch, kTime);
  EXPECT_EQ(batch, "0123456789\nabcdefgh\n" + kStamp + "2 log lines dropped: output was not keeping up\n");
  EXPECT_TRUE(queue.Empty());
  EXPECT_TRUE(queue.Push("again\n"));
  queue.Take(&batch, kTime + 1);
  EXPECT_EQ(batch, "again\n");  // the count starts over
  LogQueue tiny(4);
  EXPECT_FALSE(tiny.Push("too long"));
  EXPECT_FALSE(tiny.Empty());  // a drop alone still wakes the writer, which then tells it
}

TEST_F(LogTest, WriterThreadWritesEveryThreadsLinesInOrderAfterTheFirstOutput) {
  ASSERT_TRUE(StartLogWriter());
  PrintUnstamped("banner\n");
  constexpr int kLines = 200;
  std::thread other([] {
    for (int i = 0; i < kLines; ++i) Log("other %d", i);
  });
  for (int i = 0; i < kLines; ++i) Log("main %d", i);
  other.join();
  ASSERT_TRUE(FlushLog(std::chrono::seconds(10)));
  std::istringstream lines(LogText());
  std::string line;
  ASSERT_TRUE(std::getline(lines, line));
  EXPECT_EQ(line, "banner");
  int next[2] = {0, 0};
  while (std::getline(lines, line)) {
    ASSERT_EQ(line.substr(0, kStamp.size()), kStamp);
    const bool fromMain = line.compare(kStamp.size(), 5, "main ") == 0;
    ASSERT_EQ(line.substr(kStamp.size()), (fromMain ? "main " : "other ") + std::to_string(next[fromMain ? 0 : 1]++));
  }
  EXPECT_EQ(next[0], kLines);
  EXPECT_EQ(next[1], kLines);
  ASSERT_TRUE(StopLogWriter(std::chrono::seconds(10)));
  Log("after");  // on the caller again, so visible at once
  const std::string text = LogText();
  EXPECT_EQ(text.substr(text.size() - kStamp.size() - 6), kStamp + "after\n");
}

using StatisticsTest = TrackerTest;

// One report pass into a file of its own: the text, or "none" when not due.
std::string Report(Tracker& tracker) {
  std::FILE* f = std::tmpfile();
  const bool due = ReportStatisticsTo(tracker.stats, tracker.now, f);
  std::string text = ReadAll(f);
  std::fclose(f);
  return due ? text : "none";
}

TEST_F(StatisticsTest, ReportPrintsEveryCounterThenResetsThePeriod) {
  TrackerStats& s = tracker.stats;
  std::uint64_t(*all[])[3] = {&s.active,       &s.getPeersTotal,  &s.peersSentTotal, &s.registered,
                              &s.unregistered, &s.getPeersPeriod, &s.peersSentPeriod};
  for (std::uint64_t i = 0; i < 7; ++i) {
    (*all[i])[Udp] = 90 + i;
    (*all[i])[Tcp] = 2 * i + 1;
    (*all[i])[Utp] = 2 * i + 2;
  }
  s.peersSentTotal[Tcp] = 18446744073709551615ULL;
  for (int k = 0; k < kLimitKinds; ++k) s.limitHits[k] = 21 + k;
  // Due at once (no report yet). "TCP" starts in column 20; Udp is never printed.
  EXPECT_EQ(Report(tracker),
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
  for (int i = 3; i < 7; ++i)
    for (int k : {Udp, Tcp, Utp}) EXPECT_EQ((*all[i])[k], 0u) << i << " " << k;
  EXPECT_EQ(s.active[Udp] + s.active[Tcp] + s.getPeersTotal[Utp] + s.peersSentTotal[Udp], 90u + 1 + 4 + 92);  // kept
  EXPECT_EQ(s.limitHits[kLimitPendingUtp], 28u);
}

TEST_F(StatisticsTest, ReportWaitsForThePeriodOfTheLoopClock) {
  tracker.stats.lastReport = kTime;
  tracker.stats.getPeersPeriod[Tcp] = 1;
  SetClock(kTime + 9);
  EXPECT_EQ(Report(tracker), "none");
  SetClock(kTime + 10);
  EXPECT_NE(Report(tracker).find("\n 'get_peers' recv: TCP 1\tuTP 0\n 'peers' sent"), std::string::npos);
  EXPECT_EQ(Report(tracker), "none");  // the same second again
  // A late pass still reports "last 10 seconds", and the next period counts from it.
  SetClock(kTime + 35);
  const std::string late = Report(tracker);
  EXPECT_EQ(late.substr(0, 21), "\n2023-11-14 22:13:55\n");
  EXPECT_NE(late.find("\nlast 10 seconds:\n"), std::string::npos);
  SetClock(kTime + 44);
  EXPECT_EQ(Report(tracker), "none");
}

}  // namespace
}  // namespace lattice::test
