#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fake_socket.h"
#include "log/log_queue.h"

namespace lattice::test {
namespace {

using LogTest = TrackerTest;

const std::string kStamp = "2023-11-14 22:13:20 ";

TEST_F(LogTest, LinesAreStampedWithTheLoopClockNotTheSystemClock) {
  Log("first %d", 1);
  Log("%s", "second");  // same pass, same stamp
  SetLoopClock(kTime + 61);
  Log("third");
  SetLoopClock(0);
  Log("epoch");
  EXPECT_EQ(LogText(), kStamp + "first 1\n" + kStamp + "second\n2023-11-14 22:14:21 third\n" +
                           "1970-01-01 00:00:00 epoch\n");
}

TEST_F(LogTest, PerCentSignsInArgumentsArePrintedAsTheyAre) {
  Log("error %d (%s)", 10054, "100%d %s done");
  EXPECT_EQ(LogText(), kStamp + "error 10054 (100%d %s done)\n");
}

TEST_F(LogTest, LinesOfMoreThan1023CharactersAreDroppedWhole) {
  const std::string longest(1002, 'x');
  Log("%s", longest.c_str());
  Log("%s", (longest + "y").c_str());
  Log("%sy", longest.c_str());
  Log("after");
  EXPECT_EQ(LogText(), kStamp + longest + "\n" + kStamp + "after\n");
}

TEST_F(LogTest, FormatEndingInALineFeedLeavesAnEmptyLine) {
  Log("done\n");
  Log("next");
  EXPECT_EQ(LogText(), kStamp + "done\n\n" + kStamp + "next\n");
}

TEST_F(LogTest, LimitedLinesStopAtFivePerSecondThenTellHowManyWereSuppressed) {
  LogLimiter limiter;
  for (int i = 0; i < 8; ++i) LogLimited(limiter, "line %d", i);
  SetLoopClock(kTime + 1);
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

  // A drop alone still wakes the writer, which then tells it.
  LogQueue tiny(4);
  EXPECT_FALSE(tiny.Push("too long"));
  EXPECT_FALSE(tiny.Empty());
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
    const std::string expected = (fromMain ? "main " : "other ") + std::to_string(next[fromMain ? 0 : 1]++);
    ASSERT_EQ(line.substr(kStamp.size()), expected);
  }
  EXPECT_EQ(next[0], kLines);
  EXPECT_EQ(next[1], kLines);

  ASSERT_TRUE(StopLogWriter(std::chrono::seconds(10)));
  Log("after");  // on the caller again, so visible at once
  const std::string text = LogText();
  EXPECT_EQ(text.substr(text.size() - kStamp.size() - 6), kStamp + "after\n");
}

}  // namespace
}  // namespace lattice::test
