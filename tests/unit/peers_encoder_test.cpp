#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "fake_socket.h"
#include "tracker/peers_encoder.h"
#include "tracker/reply_buffer.h"

namespace lattice::test {
namespace {

std::string Hex(const char* text) {
  std::string out;
  unsigned value = 0;
  int digits = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p == ' ') continue;
    value = value * 16 + static_cast<unsigned>(*p <= '9' ? *p - '0' : *p - 'a' + 10);
    if (++digits == 2) {
      out.push_back(static_cast<char>(value));
      value = 0;
      digits = 0;
    }
  }
  return out;
}
std::string Ascending(std::uint8_t first, std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(first + i));
  return s;
}
std::string Buffer() { return std::string(ReplyBuffer().begin(), ReplyBuffer().end()); }

using PeersEncoderTest = TrackerTest;

TEST_F(PeersEncoderTest, ReplyListingOneTcpPeerMatchesTheReferenceBytes) {
  const std::string peer = Ascending(0xA0, 20);
  const std::string share = Ascending(0x01, 20);
  FakeSocket listed(Tcp);
  listed.SetAddress(V4(192, 0, 2, 10, 51413));
  ASSERT_FALSE(Handle(listed, Framed({.peer = peer, .share = share, .lp = 51413})).empty());
  FakeSocket requester(Tcp);
  requester.SetAddress(V4(192, 0, 2, 99, 1));

  const std::string expected = Hex("00 00 00 97") + "d" + "1:m5:peers" + "5:peers" + "l" + "d" + "1:a6:" +
                               Hex("c0 00 02 0a c8 d5") + "8:tcp_list" + "l" + "6:" + Hex("c0 00 02 0a c8 d5") +
                               "e" + "8:utp_list" + "le" + "2:lp" + "i51413e" + "1:p20:" + peer + "e" + "e" +
                               "5:share" + "20:" + share + "4:time" + "i1700000000e" + "e";
  ASSERT_EQ(expected.size(), 155u);
  EXPECT_EQ(Handle(requester, Framed({.peer = Pid(1), .share = share})), expected);
}

TEST_F(PeersEncoderTest, EmptyReplyWritesTheShareWithItsOwnLength) {
  FakeSocket s(Tcp);
  const std::string share32 = Ascending(0x40, 32);
  EXPECT_EQ(Handle(s, Framed({.peer = Pid(1), .share = share32})),
            Hex("00 00 00 51") + "d1:m5:peers5:peersle5:share32:" + share32 + "4:timei1700000000ee");
  SetLoopClock(42);
  const std::string share20 = Ascending(0x60, 20);
  EXPECT_EQ(Handle(s, Framed({.peer = Pid(1), .share = share20})),
            Hex("00 00 00 3d") + "d1:m5:peers5:peersle5:share20:" + share20 + "4:timei42ee");
}

TEST_F(PeersEncoderTest, IntroduceGivesTheAddressOfTheConnectionThatAsked) {
  const std::string share = Sid(1);
  FakeSocket a(Tcp), bUtp(Utp), bTcp(Tcp);
  const std::string aAddr = V4(10, 0, 0, 1, 1000), uAddr = V4(10, 0, 0, 2, 2000), tAddr = V4(10, 0, 0, 2, 3000);
  a.SetAddress(aAddr);
  bUtp.SetAddress(uAddr);
  bTcp.SetAddress(tAddr);
  Handle(a, Framed({.peer = Pid(1), .share = share}));
  Handle(bUtp, Framed({.peer = Pid(2), .share = share, .up = 9}));
  // The second request comes over TCP: "a" is that connection, not the first bound.
  const std::string reply = Handle(bTcp, Framed({.peer = Pid(2), .share = share, .up = 9}));
  EXPECT_EQ(a.TakeOutbound(),
            PeersMessage({{.id = Pid(2), .a = uAddr, .listed = true, .utp = {uAddr}, .up = 9}}, share) +
                PeersMessage({{.id = Pid(2), .a = tAddr, .listed = true, .tcp = {tAddr}, .utp = {uAddr}, .up = 9}},
                             share));
  EXPECT_EQ(reply, PeersMessage({{.id = Pid(1), .a = aAddr, .listed = true, .tcp = {aAddr}}}, share));
}

TEST_F(PeersEncoderTest, AnnouncedFieldsAreEchoedRaw) {
  const std::string share = Sid(1);
  FakeSocket a(Tcp), c(Tcp), b(Tcp);
  Handle(a, Framed({.peer = Pid(1), .share = share, .lp = 70000, .up = 443, .pv = 9, .la = "06:abcdef",
                    .laList = "03:xyz"}));
  Handle(c, Framed({.peer = Pid(3), .share = share, .lp = 0, .la = "0:"}));
  // Unknown address family: listed, but neither "a" nor list items.
  EXPECT_EQ(Handle(b, Framed({.peer = Pid(2), .share = share})),
            PeersMessage({{.id = Pid(1), .listed = true, .la = "06:abcdef", .laList = "03:xyz", .lp = 4464, .up = 443},
                          {.id = Pid(3), .listed = true, .la = "0:"}},
                         share));
}

TEST_F(PeersEncoderTest, UtpOnlyIPv6PeerHasItsAddressInTheUtpList) {
  const std::string share = Sid(1);
  const std::string ip6 = Hex("20 01 0d b8 00 00 00 00 00 00 00 00 00 00 00 01");
  FakeSocket a(Utp), b(Tcp);
  const std::string compact = ip6 + Hex("1a e1");  // port 6881
  a.SetAddress(compact);
  Handle(a, Framed({.peer = Pid(1), .share = share}));
  const std::string reply = Handle(b, Framed({.peer = Pid(2), .share = share}));
  EXPECT_EQ(reply, PeersMessage({{.id = Pid(1), .a = compact, .listed = true, .utp = {compact}}}, share));
  EXPECT_NE(reply.find("1:a18:" + compact + "8:tcp_listle8:utp_listl18:" + compact + "e"), std::string::npos);
}

TEST_F(PeersEncoderTest, AddressIsTheFirstConnectionInListOrder) {
  const std::string share = Sid(1);
  FakeSocket t1(Tcp), u2(Utp), t3(Tcp), b(Tcp);
  const std::string a1 = V4(10, 0, 0, 1, 1), a2 = V4(10, 0, 0, 1, 2), a3 = V4(10, 0, 0, 1, 3);
  t1.SetAddress(a1);
  u2.SetAddress(a2);
  t3.SetAddress(a3);
  for (FakeSocket* s : {&t1, &u2, &t3}) Handle(*s, Framed({.peer = Pid(1), .share = share}));
  EXPECT_EQ(Handle(b, Framed({.peer = Pid(2), .share = share})),
            PeersMessage({{.id = Pid(1), .a = a1, .listed = true, .tcp = {a1, a3}, .utp = {a2}}}, share));
  t1.Close();  // t3 moves into the first place
  EXPECT_EQ(Handle(b, Framed({.peer = Pid(2), .share = share})),
            PeersMessage({{.id = Pid(1), .a = a3, .listed = true, .tcp = {a3}, .utp = {a2}}}, share));
  t3.Close();
  EXPECT_EQ(Handle(b, Framed({.peer = Pid(2), .share = share})),
            PeersMessage({{.id = Pid(1), .a = a2, .listed = true, .utp = {a2}}}, share));
}

TEST_F(PeersEncoderTest, WritersAndLengthPrefix) {
  ReplyBuffer().clear();
  WriteDecimal(0);
  AppendChar(' ');
  WriteDecimal(18446744073709551615ULL);
  AppendChar(' ');
  WriteString("ab", 2);
  WriteString("", 0);
  WriteInteger(10);
  EXPECT_EQ(Buffer(), "0 18446744073709551615 2:ab0:i10e");

  BeginMessage();  // clears what was there
  AppendRaw(std::string(300, 'x').data(), 300);
  FinishMessage();
  EXPECT_EQ(Buffer(), Hex("00 00 01 2c") + std::string(300, 'x'));
}

}  // namespace
}  // namespace lattice::test
