#include "wire.h"

#include <cstring>

namespace loadgen {
namespace {

std::uint64_t SplitMix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

void PutLittle32(std::uint8_t* out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint32_t GetLittle32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Bytes that depend on every bit of (salt, index), so a corrupted id fails
// the check instead of decoding to another index.
void Filler(std::uint64_t salt, std::uint32_t index, std::uint8_t* out, std::size_t n) {
  std::uint64_t state = salt ^ (static_cast<std::uint64_t>(index) << 32 | index);
  for (std::size_t i = 0; i < n; i += 8) {
    state = SplitMix(state);
    for (std::size_t j = 0; j < 8 && i + j < n; ++j) out[i + j] = static_cast<std::uint8_t>(state >> (8 * j));
  }
}

constexpr std::uint32_t kShareTag = 0xA5C3E10Fu;
constexpr std::uint64_t kPeerSalt = 0x6C6174746963652DULL;
constexpr std::uint64_t kShareSalt = 0x7368617265732D2DULL;

std::uint8_t* Put(std::uint8_t* out, const char* text) {
  std::size_t n = std::strlen(text);
  std::memcpy(out, text, n);
  return out + n;
}

std::uint8_t* PutDecimal(std::uint8_t* out, std::uint64_t v) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  while (n > 0) *out++ = static_cast<std::uint8_t>(digits[--n]);
  return out;
}

// A cursor over one message body that never reads past its end.
struct Reader {
  const std::uint8_t* p;
  const std::uint8_t* end;

  bool AtEnd() const { return p >= end; }
  bool Peek(std::uint8_t c) const { return p < end && *p == c; }
  bool Take(std::uint8_t c) {
    if (!Peek(c)) return false;
    ++p;
    return true;
  }
  bool Integer(std::uint64_t* value) {
    if (!Take('i')) return false;
    std::uint64_t v = 0;
    bool any = false;
    while (p < end && *p >= '0' && *p <= '9') {
      v = v * 10 + static_cast<std::uint64_t>(*p++ - '0');
      any = true;
    }
    if (value != nullptr) *value = v;
    return any && Take('e');
  }
  bool String(const std::uint8_t** data, std::uint64_t* length) {
    std::uint64_t n = 0;
    bool any = false;
    while (p < end && *p >= '0' && *p <= '9') {
      n = n * 10 + static_cast<std::uint64_t>(*p++ - '0');
      any = true;
      if (n > kMaxMessageBody) return false;
    }
    if (!any || !Take(':')) return false;
    if (n > static_cast<std::uint64_t>(end - p)) return false;
    *data = p;
    *length = n;
    p += n;
    return true;
  }
  bool Skip(int depth) {
    if (depth > 8 || AtEnd()) return false;
    if (Peek('i')) return Integer(nullptr);
    if (Take('l')) {
      while (!Take('e'))
        if (!Skip(depth + 1)) return false;
      return true;
    }
    if (Take('d')) {
      while (!Take('e')) {
        const std::uint8_t* key;
        std::uint64_t keyLength;
        if (!String(&key, &keyLength) || !Skip(depth + 1)) return false;
      }
      return true;
    }
    const std::uint8_t* data;
    std::uint64_t length;
    return String(&data, &length);
  }
};

bool KeyIs(const std::uint8_t* key, std::uint64_t length, const char* name) {
  return length == std::strlen(name) && std::memcmp(key, name, length) == 0;
}

// One entry of the "peers" list: a dictionary that must hold a 20-byte "p".
bool ParseEntry(Reader& r, const std::uint8_t** id) {
  if (!r.Take('d')) return false;
  *id = nullptr;
  while (!r.Take('e')) {
    const std::uint8_t* key;
    std::uint64_t keyLength;
    if (!r.String(&key, &keyLength)) return false;
    if (KeyIs(key, keyLength, "p")) {
      const std::uint8_t* value;
      std::uint64_t valueLength;
      if (!r.String(&value, &valueLength) || valueLength != kPeerIdSize) return false;
      *id = value;
    } else if (!r.Skip(2)) {
      return false;
    }
  }
  return *id != nullptr;
}

bool ParseList(Reader& r, PeersMessage& out) {
  if (!r.Take('l')) return false;
  out.count = 0;
  while (!r.Take('e')) {
    const std::uint8_t* id;
    if (!ParseEntry(r, &id)) return false;
    if (out.count > kMaxListed) return false;
    out.ids[out.count++] = id;
  }
  return true;
}

}  // namespace

void MakePeerId(std::uint32_t nonce, std::uint32_t peer, std::uint8_t out[kPeerIdSize]) {
  PutLittle32(out, nonce);
  PutLittle32(out + 4, peer);
  Filler(kPeerSalt ^ nonce, peer, out + 8, kPeerIdSize - 8);
}

bool DecodePeerId(std::uint32_t nonce, const std::uint8_t* id, std::uint32_t* peer) {
  if (GetLittle32(id) != nonce) return false;
  std::uint8_t expected[kPeerIdSize];
  MakePeerId(nonce, GetLittle32(id + 4), expected);
  if (std::memcmp(expected, id, kPeerIdSize) != 0) return false;
  *peer = GetLittle32(id + 4);
  return true;
}

void MakeShareId(std::uint32_t nonce, std::uint32_t share, std::uint32_t length, std::uint8_t* out) {
  PutLittle32(out, nonce ^ kShareTag);
  PutLittle32(out + 4, share);
  Filler(kShareSalt ^ nonce ^ length, share, out + 8, length - 8);
}

bool DecodeShareId(std::uint32_t nonce, const std::uint8_t* id, std::uint32_t length, std::uint32_t* share) {
  if ((length != 20 && length != 32) || GetLittle32(id) != (nonce ^ kShareTag)) return false;
  std::uint8_t expected[32];
  MakeShareId(nonce, GetLittle32(id + 4), length, expected);
  if (std::memcmp(expected, id, length) != 0) return false;
  *share = GetLittle32(id + 4);
  return true;
}

std::size_t EncodeGetPeers(const RequestFields& fields, std::uint8_t* out) {
  std::uint8_t* p = out + 4;
  // Keys in bencode's sorted order, as a careful client would write them.
  p = Put(p, "d2:lpi");
  p = PutDecimal(p, LocalPortOf(fields.peer));
  p = Put(p, "e1:m9:get_peers4:peer20:");
  MakePeerId(fields.nonce, fields.peer, p);
  p += kPeerIdSize;
  p = Put(p, "2:pvi1e");
  if (fields.selectNobody) {
    p = Put(p, "3:pwl20:");
    MakePeerId(fields.nonce, kNobody, p);
    p += kPeerIdSize;
  }
  p = Put(p, "5:share");
  p = PutDecimal(p, fields.shareLength);
  *p++ = ':';
  MakeShareId(fields.nonce, fields.share, fields.shareLength, p);
  p += fields.shareLength;
  *p++ = 'e';
  const auto body = static_cast<std::uint32_t>(p - out - 4);
  out[0] = static_cast<std::uint8_t>(body >> 24);
  out[1] = static_cast<std::uint8_t>(body >> 16);
  out[2] = static_cast<std::uint8_t>(body >> 8);
  out[3] = static_cast<std::uint8_t>(body);
  return static_cast<std::size_t>(p - out);
}

void EncodeGetPeersWithAddresses(const RequestFields& fields, std::uint32_t laBytes, std::vector<std::uint8_t>& out) {
  std::uint8_t plain[kMaxRequestSize];
  const std::size_t plainLength = EncodeGetPeers(fields, plain);
  // The plain request's body without its "d"; the keys "la" and "la_list"
  // sort before all of its own.
  out.assign(4, 0);
  out.push_back('d');
  std::uint8_t digits[24];
  const std::size_t digitCount = static_cast<std::size_t>(PutDecimal(digits, laBytes) - digits);
  for (const char* key : {"2:la", "7:la_list"}) {
    out.insert(out.end(), key, key + std::strlen(key));
    out.insert(out.end(), digits, digits + digitCount);
    out.push_back(':');
    const std::size_t at = out.size();
    out.resize(at + laBytes);
    Filler(kPeerSalt, fields.peer, out.data() + at, laBytes);
  }
  out.insert(out.end(), plain + 5, plain + plainLength);
  const auto body = static_cast<std::uint32_t>(out.size() - 4);
  for (int i = 0; i < 4; ++i) out[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(body >> (24 - 8 * i));
}

bool ParsePeersMessage(const std::uint8_t* body, std::size_t length, PeersMessage& out) {
  Reader r{body, body + length};
  out = PeersMessage{};
  bool sawM = false;
  bool sawPeers = false;
  if (!r.Take('d')) return false;
  while (!r.Take('e')) {
    const std::uint8_t* key;
    std::uint64_t keyLength;
    if (!r.String(&key, &keyLength)) return false;
    if (KeyIs(key, keyLength, "m")) {
      const std::uint8_t* value;
      std::uint64_t valueLength;
      if (!r.String(&value, &valueLength) || !KeyIs(value, valueLength, "peers")) return false;
      sawM = true;
    } else if (KeyIs(key, keyLength, "peers")) {
      if (!ParseList(r, out)) return false;
      sawPeers = true;
    } else if (KeyIs(key, keyLength, "share")) {
      const std::uint8_t* value;
      std::uint64_t valueLength;
      if (!r.String(&value, &valueLength) || (valueLength != 20 && valueLength != 32)) return false;
      out.share = value;
      out.shareLength = static_cast<std::uint32_t>(valueLength);
    } else if (KeyIs(key, keyLength, "time")) {
      if (!r.Integer(&out.time)) return false;
    } else if (!r.Skip(1)) {
      return false;
    }
  }
  return r.AtEnd() && sawM && sawPeers && out.share != nullptr;
}

}  // namespace loadgen
