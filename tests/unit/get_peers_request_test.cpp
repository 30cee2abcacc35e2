// The request decoder: what it reads from well-formed bodies, and that it
// refuses malformed ones and every truncation.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

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

const std::string kPeer = Pid(0xA0);
const std::string kShare20 = Sid(1);
const std::string kShare32 = Sid(2, 32);

// Every field of a decoded request in one line; views must lie inside the message.
std::string Summary(const Parsed& p) {
  const GetPeersRequest& r = p.request;
  auto inside = [&](const std::uint8_t* v) { return v == nullptr || (v >= p.buffer.get() && v < p.buffer.get() + p.size); };
  if (!inside(r.peer) || !inside(r.share) || !inside(r.la.data) || !inside(r.laList.data)) return "outside";
  std::string out = r.type == RequestType::GetPeers ? "m" : "-";
  if (r.peer != nullptr) out += " peer=" + std::to_string(r.peer[19]);
  if (r.share != nullptr) out += " share" + std::to_string(r.shareLength) + "=" + std::to_string(r.share[0]);
  out += " lp=" + std::to_string(r.lp) + " up=" + std::to_string(r.up) + " pv=" + std::to_string(r.pv);
  out += " la=" + p.Text(r.la) + " la_list=" + p.Text(r.laList) + " pwl=";
  for (const PeerId& id : r.pwl) out += std::to_string(id.bytes[19]) + ",";
  return out;
}

// Later keys win, except "pwl", which accumulates; "pwl" is cut into 20-byte
// ids, kept in bytewise order once each; leading zeros and any key order are
// fine; integers keep their low 32 bits; raw values keep their leading zeros.
TEST(ParseGetPeers, ReadsEveryKeyIntoViewsOfTheMessage) {
  const std::pair<std::string, std::string> cases[] = {
      {"d1:m9:get_peers4:peer" + Str(kPeer) + "5:share" + Str(kShare32) +
           "2:lpi51413e2:upi7e2:pvi3e2:la06:abcdef7:la_list3:xyz3:pwl" + Str(Pid(2) + Pid(1)) + "e",
       "m peer=160 share32=2 lp=51413 up=7 pv=3 la=06:abcdef la_list=3:xyz pwl=1,2,"},
      {"d2:lpi1e2:lpi2e4:peer" + Str(Pid(1)) + "4:peer" + Str(Pid(2)) + "5:share" + Str(kShare32) + "5:share" +
           Str(kShare20) + "2:la1:a2:la2:bb3:pwl" + Str(Pid(3)) + "3:pwl" + Str(Pid(1) + Pid(3)) + "2:upi9e2:upiee",
       "- peer=2 share20=1 lp=2 up=0 pv=0 la=2:bb la_list= pwl=1,3,"},
      {"d3:pwl" + Str(Pid(9) + Pid(4) + Pid(4)) + "e", "- lp=0 up=0 pv=0 la= la_list= pwl=4,9,"},
      {"d3:pwl0:5:share" + Str(kShare20) + "4:peer" + Str(kPeer) + "2:lpi5e1:m9:get_peerse",
       "m peer=160 share20=1 lp=5 up=0 pv=0 la= la_list= pwl="},
      {"d0002:lpi0010e01:m09:get_peers2:la06:abcdef2:pvi00e2:upiee", "m lp=10 up=0 pv=0 la=06:abcdef la_list= pwl="},
      {"de", "- lp=0 up=0 pv=0 la= la_list= pwl="},
      {"d2:la0:e", "- lp=0 up=0 pv=0 la=0: la_list= pwl="},
      {"d2:lpi4294967301e2:upi70000e2:pvi4294967295e2:la0000000000000000001:xe",
       "- lp=5 up=70000 pv=4294967295 la=0000000000000000001:x la_list= pwl="},
  };
  for (const auto& [body, summary] : cases) {
    Parsed p = ParseBody(body);
    EXPECT_TRUE(p.ok) << body;
    EXPECT_EQ(Summary(p), summary) << body;
  }
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
      {"pwl of 19", Frame("d3:pwl" + Str(std::string(19, 'q')) + "e")},
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
      {"la of 2^64 + 1, 1 after wrapping twice", Frame("d2:la18446744073709551617:xe")},
      {"key length 4294967298, 2 after wrapping", Frame("d4294967298:la1:xe")},
      {"peer declared 20, 5 present", Frame("d4:peer20:abcde")},
  };
  for (const auto& [name, message] : cases) {
    Parsed p = ParseMessage(message);
    EXPECT_FALSE(p.ok) << name;
  }
}

TEST(ParseGetPeers, EveryTruncationOfAValidMessageFails) {
  const std::string full = Frame("d1:m9:get_peers4:peer" + Str(kPeer) + "5:share" + Str(kShare32) +
                                 "2:lpi51413e2:upi7e2:pvi3e2:la06:abcdef7:la_list3:xyz3:pwl" + Str(Pid(2) + Pid(1)) + "e");
  ASSERT_TRUE(ParseMessage(full).ok);
  for (std::size_t length = 4; length < full.size(); ++length) {
    Parsed p = ParseMessage(full.substr(0, length));
    EXPECT_FALSE(p.ok) << length;
  }
}

}  // namespace
}  // namespace lattice::test
