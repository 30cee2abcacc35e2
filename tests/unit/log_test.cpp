#include <gtest/gtest.h>

#include <string>

#include "fake_socket.h"

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

}  // namespace
}  // namespace lattice::test
