#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fake_socket.h"
#include "tracker/get_peers_request.h"

namespace lattice::test {
namespace {

// The message lives in a heap block of exactly its size, so AddressSanitizer
// reports any read past its end.
struct Parsed {
  std::unique_ptr<std::uint8_t[]> buffer;
  std::uint64_t size = 0;
  GetPeersRequest request;
  bool ok = false;

  std::string Text(const ByteView& v) const { return std::string(reinterpret_cast<const char*>(v.data), v.length); }
  bool Inside(const std::uint8_t* p) const { return p >= buffer.get() && p < buffer.get() + size; }
};

Parsed ParseMessage(const std::string& message) {
  Parsed p;
  p.size = message.size();
  p.buffer.reset(new std::uint8_t[message.size()]);
  std::memcpy(p.buffer.get(), message.data(), message.size());
  p.ok = ParseGetPeers(p.buffer.get(), p.size, p.request);
  return p;
}
Parsed ParseBody(const std::string& body) { return ParseMessage(Frame(body)); }

std::vector<std::string> PwlIds(const GetPeersRequest& r) {
  std::vector<std::string> ids;
  for (const PeerId& id : r.pwl) ids.push_back(IdText(id));
  return ids;
}

const std::string kPeer = Pid(0xA0);
const std::string kShare20 = Sid(1);
const std::string kShare32 = Sid(2, 32);

std::string FullBody() {
  return "d1:m9:get_peers4:peer" + Str(kPeer) + "5:share" + Str(kShare32) +
         "2:lpi51413e2:upi7e2:pvi3e2:la06:abcdef7:la_list3:xyz3:pwl" + Str(Pid(2) + Pid(1)) + "e";
}

TEST(ParseGetPeers, ReadsEveryKeyIntoViewsOfTheMessage) {
  Parsed p = ParseBody(FullBody());
  ASSERT_TRUE(p.ok);
  const GetPeersRequest& r = p.request;
  EXPECT_EQ(r.type, RequestType::GetPeers);
  ASSERT_TRUE(p.Inside(r.peer));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.peer), 20), kPeer);
  ASSERT_TRUE(p.Inside(r.share));
  EXPECT_EQ(r.shareLength, 32u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.share), 32), kShare32);
  EXPECT_EQ(r.lp, 51413u);
  EXPECT_EQ(r.up, 7u);
  EXPECT_EQ(r.pv, 3u);
  // Raw encoded values, leading zero of the length kept.
  EXPECT_TRUE(p.Inside(r.la.data));
  EXPECT_EQ(p.Text(r.la), "06:abcdef");
  EXPECT_EQ(p.Text(r.laList), "3:xyz");
  EXPECT_EQ(PwlIds(r), (std::vector<std::string>{Pid(1), Pid(2)}));  // bytewise order
}

TEST(ParseGetPeers, LaterKeyWinsExceptPwlWhichAccumulates) {
  Parsed p = ParseBody("d2:lpi1e2:lpi2e4:peer" + Str(Pid(1)) + "4:peer" + Str(Pid(2)) + "5:share" + Str(kShare32) +
                       "5:share" + Str(kShare20) + "2:la1:a2:la2:bb3:pwl" + Str(Pid(3)) + "3:pwl" +
                       Str(Pid(1) + Pid(3)) + "2:upi9e2:upie" + "e");
  ASSERT_TRUE(p.ok);
  EXPECT_EQ(p.request.lp, 2u);
  EXPECT_EQ(p.request.up, 0u);  // "ie" is 0, and it replaces 9
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p.request.peer), 20), Pid(2));
  EXPECT_EQ(p.request.shareLength, 20u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p.request.share), 20), kShare20);
  EXPECT_EQ(p.Text(p.request.la), "2:bb");
  EXPECT_EQ(PwlIds(p.request), (std::vector<std::string>{Pid(1), Pid(3)}));
  EXPECT_EQ(p.request.type, RequestType::Unset);  // no "m"
}

TEST(ParseGetPeers, PwlIsCutIntoTwentyByteSlices) {
  struct Case {
    std::string value;
    bool ok;
    std::vector<std::string> ids;
  };
  const std::vector<Case> cases = {
      {Pid(9) + Pid(4), true, {Pid(4), Pid(9)}},
      {Pid(4) + Pid(4), true, {Pid(4)}},
      {"", true, {}},
      {Pid(4) + Pid(9).substr(0, 10), false, {}},
      {Pid(4).substr(0, 19), false, {}},
  };
  for (const Case& c : cases) {
    Parsed p = ParseBody("d3:pwl" + Str(c.value) + "e");
    EXPECT_EQ(p.ok, c.ok) << c.value.size();
    if (c.ok) {
      EXPECT_EQ(PwlIds(p.request), c.ids) << c.value.size();
    }
  }
}

TEST(ParseGetPeers, AcceptsAnyKeyOrderLeadingZerosAndBareMessages) {
  Parsed reversed = ParseBody("d3:pwl0:5:share" + Str(kShare20) + "4:peer" + Str(kPeer) + "2:lpi5e1:m9:get_peerse");
  ASSERT_TRUE(reversed.ok);
  EXPECT_EQ(reversed.request.type, RequestType::GetPeers);
  EXPECT_EQ(reversed.request.lp, 5u);
  EXPECT_EQ(reversed.request.shareLength, 20u);
  EXPECT_TRUE(reversed.request.pwl.empty());

  Parsed zeros = ParseBody("d0002:lpi0010e01:m09:get_peers2:la06:abcdef2:pvi00e2:upiee");
  ASSERT_TRUE(zeros.ok);
  EXPECT_EQ(zeros.request.lp, 10u);
  EXPECT_EQ(zeros.request.type, RequestType::GetPeers);
  EXPECT_EQ(zeros.Text(zeros.request.la), "06:abcdef");

  Parsed empty = ParseBody("de");
  ASSERT_TRUE(empty.ok);
  EXPECT_EQ(empty.request.type, RequestType::Unset);

  Parsed onlyM = ParseBody("d1:m9:get_peerse");
  ASSERT_TRUE(onlyM.ok);
  EXPECT_EQ(onlyM.request.type, RequestType::GetPeers);
  EXPECT_EQ(onlyM.request.peer, nullptr);
  EXPECT_EQ(onlyM.request.shareLength, 0u);

  Parsed emptyLa = ParseBody("d2:la0:e");
  ASSERT_TRUE(emptyLa.ok);
  EXPECT_EQ(emptyLa.Text(emptyLa.request.la), "0:");
}

TEST(ParseGetPeers, IntegerDigitsAccumulateModulo2To32) {
  // String lengths that wrap fail instead (see string_length_overflow_test).
  Parsed ints = ParseBody("d2:lpi4294967301e2:upi70000e2:pvi4294967295ee");
  ASSERT_TRUE(ints.ok);
  EXPECT_EQ(ints.request.lp, 5u);
  EXPECT_EQ(ints.request.up, 70000u);
  EXPECT_EQ(ints.request.pv, 4294967295u);
}

TEST(ParseGetPeers, RejectsMalformedBodies) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"empty body", Frame("")},
      {"list body", Frame("l1:me")},
      {"unknown key", Frame("d1:xi1ee")},
      {"unknown key, known length", Frame("d3:pwm0:e")},
      {"key prefix of a known key", Frame("d5:la_li0:e")},
      {"empty key", Frame("d0:i1ee")},
      {"m = peers", Frame("d1:m5:peerse")},
      {"m = get_peers plus a byte", Frame("d1:m10:get_peersxe")},
      {"m as integer", Frame("d1:mi1ee")},
      {"peer of 19", Frame("d4:peer" + Str(kPeer.substr(1)) + "e")},
      {"peer of 21", Frame("d4:peer" + Str(kPeer + "x") + "e")},
      {"share of 21", Frame("d5:share" + Str(kShare20 + "x") + "e")},
      {"share of 0", Frame("d5:share0:e")},
      {"share of 31", Frame("d5:share" + Str(kShare32.substr(1)) + "e")},
      {"pwl of 30", Frame("d3:pwl" + Str(std::string(30, 'q')) + "e")},
      {"lp with minus", Frame("d2:lpi-5ee")},
      {"lp with other byte", Frame("d2:lpi5x2:upi1ee")},
      {"integer runs into the final byte", Frame("d2:lpi5e")},
      {"integer without i", Frame("d2:lp5e")},
      {"list value", Frame("d2:lali1eee")},
      {"dictionary value", Frame("d2:lpdee")},
      {"missing final e", Frame("d1:m9:get_peers")},
      {"final byte not e", Frame("d2:lpi5e0")},
      {"byte after the dictionary", Frame("d2:lpi5eex")},
      {"key without colon", Frame("d12e")},
      {"key length with other byte", Frame("d2xlpi1ee")},
      {"key past the end", Frame("d9:lae")},
      {"string past the end", Frame("d2:la5:abce")},
      {"string into the final byte", Frame("d2:la4:abce")},
      {"string of 4294967295", Frame("d2:la4294967295:abce")},
      {"string of 4294967296, 0 after wrapping", Frame("d2:la4294967296:e")},
      {"la_list of 4294967297, 1 after wrapping", Frame("d7:la_list4294967297:xe")},
      {"peer declared 20, 5 present", Frame("d4:peer20:abcde")},
  };
  for (const auto& [name, message] : cases) {
    Parsed p = ParseMessage(message);
    EXPECT_FALSE(p.ok) << name;
  }
}

TEST(ParseGetPeers, EveryTruncationOfAValidMessageFails) {
  const std::string full = Frame(FullBody());
  ASSERT_TRUE(ParseMessage(full).ok);
  for (std::size_t length = 4; length < full.size(); ++length) {
    Parsed p = ParseMessage(full.substr(0, length));
    EXPECT_FALSE(p.ok) << length;
  }
}

}  // namespace
}  // namespace lattice::test
