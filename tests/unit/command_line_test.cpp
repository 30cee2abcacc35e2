#include <gtest/gtest.h>

#include <limits>

#include "app/args_collector.h"
#include "app/run_tracker.h"

namespace lattice {
namespace {

using Words = std::vector<std::wstring>;

ArgsCollector Collect(const std::wstring& commandLine) {
  Words words = SplitCommandLine(commandLine);
  return ArgsCollector(static_cast<int>(words.size()), words);
}

TEST(SplitCommandLine, QuotesGroupAndNothingIsUnescaped) {
  EXPECT_EQ(SplitCommandLine(L"  \"C:\\Program Files\\t.exe\"\t-s  "), (Words{L"C:\\Program Files\\t.exe", L"-s"}));
  // A backslash keeps the quote after it; both stay in the word.
  EXPECT_EQ(SplitCommandLine(L"\"a\\\"b\" c"), (Words{L"a\\\"b", L"c"}));
  // Letters right after a closing quote form the next word.
  EXPECT_EQ(SplitCommandLine(L"\"ab\"cd"), (Words{L"ab", L"cd"}));
  EXPECT_EQ(SplitCommandLine(L"x \"\" y"), (Words{L"x", L"", L"y"}));
  EXPECT_EQ(SplitCommandLine(L"a\"b c"), (Words{L"a\"b", L"c"}));
  EXPECT_EQ(SplitCommandLine(L"\"unterminated word"), (Words{L"unterminated word"}));
  EXPECT_TRUE(SplitCommandLine(L" \t ").empty());
}

TEST(ArgsCollector, OptionListsAndTheirRules) {
  ArgsCollector args = Collect(L"prog bare -p 4000 5000 -s -p 6000 --p 5 - ignored -mtu");
  EXPECT_EQ(args.Get(L"p"), (Words{L"p", L"4000", L"5000"}));  // first occurrence wins
  EXPECT_EQ(args.Get(L"s"), (Words{L"s"}));
  EXPECT_EQ(args.Get(L"-p"), (Words{L"-p", L"5"}));
  EXPECT_EQ(args.Get(L"mtu"), (Words{L"mtu"}));
  EXPECT_TRUE(args.Get(L"bare").empty());
  EXPECT_TRUE(args.Get(L"").empty());
  EXPECT_TRUE(args.Get(L"sr").empty());
}

TEST(ArgsCollector, PortTakesTheFirstValueAndMtuTheLast) {
  EXPECT_EQ(PortOption(Collect(L"prog")), L"3000");
  EXPECT_EQ(PortOption(Collect(L"prog -p")), L"3000");
  EXPECT_EQ(PortOption(Collect(L"prog -p 4000 5000")), L"4000");
  EXPECT_EQ(PortOption(Collect(L"prog --p 5")), L"3000");
  EXPECT_EQ(MtuOption(Collect(L"prog")), 0);
  EXPECT_EQ(MtuOption(Collect(L"prog -mtu")), 0);
  EXPECT_EQ(MtuOption(Collect(L"prog -mtu 1200 1400")), 1400);
  EXPECT_EQ(MtuOption(Collect(L"prog -mtu abc")), 0);
}

TEST(ParseOptionInteger, BehavesAsTheRuntimeConversion) {
  EXPECT_EQ(ParseOptionInteger(L"  +1200xyz"), 1200);
  EXPECT_EQ(ParseOptionInteger(L"\t-42"), -42);
  EXPECT_EQ(ParseOptionInteger(L"99999999999999999999"), std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(ParseOptionInteger(L"-99999999999"), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(ParseOptionInteger(L"-2147483648"), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(ParseOptionInteger(L"- 5"), 0);
  EXPECT_EQ(ParseOptionInteger(L""), 0);
}

}  // namespace
}  // namespace lattice
