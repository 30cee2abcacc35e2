// What the tracker reads back from the shared registry and sends between
// nodes: records listed byte for byte as this node lists its own peers,
// inbox messages and the node table, and none of them read past their end.
#include <gtest/gtest.h>

#include "cluster/inbox_message.h"
#include "cluster/node_table.h"
#include "cluster/shared_record.h"
#include "test_support.h"
#include "tracker/connection_tokens.h"
#include "tracker/peers_encoder.h"

namespace lattice::test {
namespace {

using namespace lattice::cluster;

// MessagePack as the engine's encoder writes a record.
struct Pack {
  std::string bytes = Pid(5);  // a listed peer's id comes first
  Pack& Array(std::size_t n) { return bytes.push_back(static_cast<char>(0xdc)), Be(n, 2); }
  Pack& Number(std::uint64_t v) {
    if (v < 128) return bytes.push_back(static_cast<char>(v)), *this;
    return bytes.push_back(static_cast<char>(0xcf)), Be(v, 8);
  }
  Pack& Text(const std::string& s) { return bytes.push_back(static_cast<char>(0xd9 + 1)), Be(s.size(), 2), Raw(s); }
  Pack& Be(std::uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i) bytes.push_back(static_cast<char>(v >> (8 * i)));
    return *this;
  }
  Pack& Raw(const std::string& s) { return bytes += s, *this; }
};

std::string Describe(std::initializer_list<std::pair<int, std::string>> connections, std::uint64_t token = 7) {
  std::string out;
  for (const auto& [kind, address] : connections) {
    CompactAddress a;
    SetCompactAddress(a, address);
    AppendConnection(out, kind, a, token++);
  }
  return out;
}

TEST(SharedRecordTest, RecordOverTwoNodesIsListedAsOnePeerWithBothNodesConnections) {
  const std::string tcpA = V4(10, 0, 0, 1, 1000), utpB = V4(10, 0, 0, 2, 2000), tcpB = V4(10, 0, 0, 3, 3000);
  Pack p;
  p.Array(5 + 2 * 5).Number(6881).Number(0).Number(7).Text("6:abcdef").Text("");
  p.Text("node-a").Number(1700000000123).Number(1700000300123).Number(1).Text(Describe({{Tcp, tcpA}}));
  p.Text("node-b").Number(42).Number(1700000300123).Number(2).Text(Describe({{Utp, utpB}, {Tcp, tcpB}}));
  SharedRecord record;
  ASSERT_TRUE(DecodeListedPeer(p.bytes, record));
  ASSERT_EQ(record.partCount, 2u);
  EXPECT_EQ(record.parts[1].node, "node-b");
  EXPECT_EQ(record.parts[0].epoch, 1700000000123u);

  ReplyBuffer out;
  const std::string id = Pid(5);
  EncodeSharedEntry(out, Bytes(id), record);
  const Entry expected{.id = id, .a = tcpA, .listed = true, .tcp = {tcpA, tcpB}, .utp = {utpB}, .la = "6:abcdef",
                       .lp = 6881};
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.data()), out.size()), EntryBytes(expected));

  // Every cut short of the whole is refused without reading past the cut
  // (the sanitizer build watches).
  for (std::size_t n = 0; n < p.bytes.size(); ++n) {
    const std::string cut = p.bytes.substr(0, n);
    EXPECT_FALSE(DecodeListedPeer(std::string_view(cut.data(), n), record)) << n;
  }
  // A description with a bad kind or size stops there.
  std::string_view bad = "\x03\x06" "abcdef" "tokentok";
  SharedConnection c;
  EXPECT_FALSE(NextConnection(bad, c));
}

TEST(InboxMessageTest, EntriesComeBackInOrderAndACutMessageDeliversOnlyWholeOnes) {
  std::string message;
  AppendIntroduction(message, "first", 11, {1, 2});
  AppendIntroduction(message, "second", 12, {3});
  std::vector<std::string> seen;
  auto collect = [&](std::string_view intro, std::uint64_t epoch, std::uint64_t token) {
    seen.push_back(std::string(intro) + "/" + std::to_string(epoch) + "/" + std::to_string(token));
  };
  ASSERT_TRUE(ForEachIntroduction(message, collect));
  EXPECT_EQ(seen, (std::vector<std::string>{"first/11/1", "first/11/2", "second/12/3"}));
  for (std::size_t n = 1; n < message.size(); ++n) {
    seen.clear();
    const std::string cut = message.substr(0, n);
    const bool whole = ForEachIntroduction(std::string_view(cut.data(), n), collect);
    EXPECT_EQ(whole, n == 4 + 5 + 8 + 4 + 16) << n;
    EXPECT_LE(seen.size(), 3u);
  }
}

TEST(NodeTableTest, DeadAndRestartedNodesMakeTheirOldPartsDead) {
  NodeTable table("a", 100, 60000);
  table.Update({{"a", 90, 500}, {"b", 5, 100}, {"c", 7, 200}}, 1000);
  // This node ran before with epoch 90: that incarnation's parts are dead.
  EXPECT_EQ(table.EpochsArgument(), "a:100");
  EXPECT_TRUE(table.Alive("b", 5));
  EXPECT_FALSE(table.Alive("b", 4));
  EXPECT_TRUE(table.Alive("unseen", 1));
  // c stops beating; b restarts.
  table.Update({{"a", 100, 0}, {"b", 6, 100}, {"c", 7, kDeadAfterMs + 1}}, 2000);
  EXPECT_EQ(table.EpochsArgument(), "a:100,b:6,c:8");
  EXPECT_FALSE(table.Alive("c", 7));
  EXPECT_EQ(table.LiveNodes(), 2u);
  // Every beat stopped alike (the table's primary was frozen): nobody is dead
  // for it, however old the beats.
  table.Update({{"a", 100, 9000}, {"b", 6, 9100}, {"c", 7, 9000 + kDeadAfterMs + 1}}, 2500);
  EXPECT_EQ(table.EpochsArgument(), "a:100,b:6,c:8");
  // Once no part of the old incarnations can live, only the dead stay listed.
  table.Update({{"a", 100, 0}, {"b", 6, 100}, {"c", 7, 5000}}, 2000 + 60001);
  EXPECT_EQ(table.EpochsArgument(), "c:8");
}

TEST(ConnectionTokensTest, TokenOfAClosedConnectionNamesNothingEvenWhenItsPlaceIsReused) {
  ConnectionTokens tokens;
  FakeSocket a, b;
  const std::uint64_t ta = tokens.TokenOf(a);
  EXPECT_EQ(tokens.TokenOf(a), ta);
  EXPECT_EQ(tokens.Find(ta), &a);
  tokens.Release(a);
  EXPECT_EQ(tokens.Find(ta), nullptr);
  const std::uint64_t tb = tokens.TokenOf(b);
  EXPECT_EQ(static_cast<std::uint32_t>(tb), static_cast<std::uint32_t>(ta));  // the place is reused
  EXPECT_EQ(tokens.Find(ta), nullptr);
  EXPECT_EQ(tokens.Find(tb), &b);
  EXPECT_EQ(tokens.Find(tb + 5), nullptr);
}

}  // namespace
}  // namespace lattice::test
