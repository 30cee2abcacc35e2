#include "tracker/get_peers_request.h"

#include <cstring>

namespace lattice {
namespace {

// A cursor over one message; every read checks the bound first.
struct Reader {
  const std::uint8_t* bytes;
  std::uint64_t end;  // index one past the message's final byte
  std::uint64_t pos;

  static bool IsDigit(std::uint8_t c) { return c >= '0' && c <= '9'; }

  // Digits up to the terminator, modulo 2^32; any other byte fails.
  // overflowed tells whether the true value did not fit in 32 bits.
  bool Number(std::uint8_t terminator, std::uint32_t& value, bool* overflowed = nullptr) {
    value = 0;
    std::uint64_t exact = 0;
    while (pos < end) {
      std::uint8_t c = bytes[pos++];
      if (c == terminator) {
        if (overflowed != nullptr) *overflowed = exact > 0xFFFFFFFFull;
        return true;
      }
      if (!IsDigit(c)) return false;
      value = value * 10u + static_cast<std::uint32_t>(c - '0');
      if (exact <= 0xFFFFFFFFull) exact = exact * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return false;
  }

  bool String(ByteView& out) {
    std::uint32_t length = 0;
    bool overflowed = false;
    if (!Number(':', length, &overflowed)) return false;
    // A length that wrapped would be accepted short here yet read long by
    // every peer that gets the raw value echoed, so it fails the message.
    if (overflowed || length > end - pos) return false;
    out.data = bytes + pos;
    out.length = length;
    pos += length;
    return true;
  }

  // The whole encoded value, length digits and colon included.
  bool RawString(ByteView& out) {
    std::uint64_t start = pos;
    ByteView inner;
    if (!String(inner)) return false;
    out.data = bytes + start;
    out.length = pos - start;
    return true;
  }

  bool Integer(std::uint32_t& value) {
    if (pos >= end || bytes[pos] != 'i') return false;
    ++pos;
    return Number('e', value);
  }
};

bool KeyIs(const ByteView& key, const char* name) {
  std::size_t n = std::strlen(name);
  return key.length == n && std::memcmp(key.data, name, n) == 0;
}

bool ParseValue(Reader& r, const ByteView& key, GetPeersRequest& request) {
  ByteView value;
  if (KeyIs(key, "m")) {
    if (!r.String(value) || !KeyIs(value, "get_peers")) return false;
    request.type = RequestType::GetPeers;
    return true;
  }
  if (KeyIs(key, "la")) return r.RawString(request.la);
  if (KeyIs(key, "la_list")) return r.RawString(request.laList);
  if (KeyIs(key, "lp")) return r.Integer(request.lp);
  if (KeyIs(key, "up")) return r.Integer(request.up);
  if (KeyIs(key, "pv")) return r.Integer(request.pv);
  if (KeyIs(key, "peer")) {
    if (!r.String(value) || value.length != 20) return false;
    request.peer = value.data;
    return true;
  }
  if (KeyIs(key, "share")) {
    if (!r.String(value) || (value.length != 20 && value.length != 32)) return false;
    request.share = value.data;
    request.shareLength = static_cast<std::uint32_t>(value.length);
    return true;
  }
  if (KeyIs(key, "pwl")) {
    if (!r.String(value) || value.length % 20 != 0) return false;
    for (std::uint64_t i = 0; i < value.length; i += 20) request.pwl.insert(PeerId::From(value.data + i));
    return true;
  }
  return false;
}

}  // namespace

bool ParseGetPeers(const std::uint8_t* message, std::uint64_t totalLength, GetPeersRequest& request) {
  if (totalLength <= 4 || message[4] != 'd') return false;
  const std::uint64_t last = totalLength - 1;
  // Keys and values may not reach into the final byte, which must be the
  // dictionary's closing "e".
  Reader r{message, last, 5};
  while (r.pos < last) {
    ByteView key;
    if (!r.String(key)) return false;
    if (!ParseValue(r, key, request)) return false;
  }
  return r.pos == last && message[last] == 'e';
}

}  // namespace lattice
