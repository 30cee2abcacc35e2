#include "cluster/shared_record.h"

#include <cstring>

#include "tracker/peers_encoder.h"

namespace lattice::cluster {
namespace {

// Reads the subset of MessagePack the engine's encoder writes: arrays,
// integers, doubles, strings and binaries. Every read checks its bounds.
class MessageReader {
 public:
  explicit MessageReader(std::string_view bytes) : p(reinterpret_cast<const std::uint8_t*>(bytes.data())),
                                                   end(p + bytes.size()) {}

  bool ReadArray(std::size_t& size) {
    std::uint8_t b;
    if (!Byte(b)) return false;
    if ((b & 0xf0) == 0x90) return size = b & 0x0f, true;
    if (b == 0xdc) return BigEndian(2, size);
    if (b == 0xdd) return BigEndian(4, size);
    return false;
  }

  bool ReadNumber(std::uint64_t& value) {
    std::uint8_t b;
    if (!Byte(b)) return false;
    if (b <= 0x7f) return value = b, true;
    if (b >= 0xe0) return value = 0, true;  // negative: no field here is
    switch (b) {
      case 0xcc: return BigEndian(1, value);
      case 0xcd: return BigEndian(2, value);
      case 0xce: return BigEndian(4, value);
      case 0xcf: return BigEndian(8, value);
      case 0xd0: case 0xd1: case 0xd2: case 0xd3: {
        std::uint64_t ignored;
        value = 0;
        return BigEndian(std::size_t{1} << (b - 0xd0), ignored);
      }
      case 0xcb: {
        std::uint64_t bits;
        if (!BigEndian(8, bits)) return false;
        double d;
        std::memcpy(&d, &bits, sizeof d);
        value = d >= 0 && d < 1.8e19 ? static_cast<std::uint64_t>(d) : 0;
        return true;
      }
      default: return false;
    }
  }

  bool ReadBytes(std::string_view& bytes) {
    std::uint8_t b;
    if (!Byte(b)) return false;
    std::size_t size = 0;
    if ((b & 0xe0) == 0xa0) {
      size = b & 0x1f;
    } else if (b == 0xd9 || b == 0xc4) {
      if (!BigEndian(1, size)) return false;
    } else if (b == 0xda || b == 0xc5) {
      if (!BigEndian(2, size)) return false;
    } else if (b == 0xdb || b == 0xc6) {
      if (!BigEndian(4, size)) return false;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) < size) return false;
    bytes = std::string_view(reinterpret_cast<const char*>(p), size);
    p += size;
    return true;
  }

 private:
  bool Byte(std::uint8_t& b) {
    if (p == end) return false;
    b = *p++;
    return true;
  }
  template <typename T>
  bool BigEndian(std::size_t n, T& value) {
    if (static_cast<std::size_t>(end - p) < n) return false;
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v = v << 8 | p[i];
    p += n;
    value = static_cast<T>(v);
    return true;
  }

  const std::uint8_t* p;
  const std::uint8_t* end;
};

constexpr std::size_t kSharedFields = 5;
constexpr std::size_t kPartFields = 5;
constexpr std::size_t kTokenBytes = 8;

ByteView View(std::string_view s) { return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}; }

}  // namespace

bool DecodeListedPeer(std::string_view listed, SharedRecord& record) {
  if (listed.size() < kListedIdBytes) return false;
  MessageReader in(listed.substr(kListedIdBytes));
  std::size_t size = 0;
  if (!in.ReadArray(size) || size < kSharedFields || (size - kSharedFields) % kPartFields != 0) return false;
  std::uint64_t pv = 0;
  std::string_view la, laList;
  if (!in.ReadNumber(record.lp) || !in.ReadNumber(record.up) || !in.ReadNumber(pv) || !in.ReadBytes(la) ||
      !in.ReadBytes(laList))
    return false;
  record.la = View(la);
  record.laList = View(laList);
  record.partCount = 0;
  for (std::size_t i = kSharedFields; i < size; i += kPartFields) {
    SharedPart part;
    std::uint64_t expiry = 0, count = 0;
    if (!in.ReadBytes(part.node) || !in.ReadNumber(part.epoch) || !in.ReadNumber(expiry) || !in.ReadNumber(count) ||
        !in.ReadBytes(part.connections))
      return false;
    if (record.partCount < SharedRecord::kMaxParts) record.parts[record.partCount++] = part;
  }
  return true;
}

void AppendConnection(std::string& out, int kind, const CompactAddress& address, std::uint64_t token) {
  out.push_back(static_cast<char>(kind));
  out.push_back(static_cast<char>(address.size));
  out.append(reinterpret_cast<const char*>(address.bytes), address.size);
  for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<char>(token >> shift));
}

bool NextConnection(std::string_view& description, SharedConnection& connection) {
  if (description.size() < 2) return false;
  const auto* p = reinterpret_cast<const std::uint8_t*>(description.data());
  const std::uint8_t size = p[1];
  if ((p[0] != Tcp && p[0] != Utp) || (size != 0 && size != 6 && size != 18)) return false;
  if (description.size() < 2u + size + kTokenBytes) return false;
  connection.kind = p[0];
  connection.address.size = size;
  std::memcpy(connection.address.bytes, p + 2, size);
  connection.token = 0;
  for (std::size_t i = 0; i < kTokenBytes; ++i) connection.token = connection.token << 8 | p[2 + size + i];
  description.remove_prefix(2u + size + kTokenBytes);
  return true;
}

void EncodeSharedEntry(ReplyBuffer& out, const std::uint8_t* id, const SharedRecord& record,
                       const CompactAddress* address) {
  SharedConnection first;
  bool connected = false;
  for (std::size_t i = 0; i < record.partCount && !connected; ++i) {
    std::string_view d = record.parts[i].connections;
    connected = NextConnection(d, first);
  }
  out.AppendChar('d');
  if (address != nullptr) {
    EncodeAddress(out, *address, AddressForm::Keyed, Tcp);
  } else if (connected) {
    EncodeAddress(out, first.address, AddressForm::Keyed, Tcp);
  }
  if (connected) {
    for (AddressForm form : {AddressForm::TcpItem, AddressForm::UtpItem}) {
      if (form == AddressForm::TcpItem) out.AppendToken("8:tcp_list"); else out.AppendToken("8:utp_list");
      out.AppendChar('l');
      for (std::size_t i = 0; i < record.partCount; ++i) {
        std::string_view d = record.parts[i].connections;
        for (SharedConnection c; NextConnection(d, c);) EncodeAddress(out, c.address, form, c.kind);
      }
      out.AppendChar('e');
    }
  }
  if (!record.la.empty()) {
    out.AppendToken("2:la");
    out.AppendRaw(record.la.data, record.la.length);
  }
  if (!record.laList.empty()) {
    out.AppendToken("7:la_list");
    out.AppendRaw(record.laList.data, record.laList.length);
  }
  if (record.lp != 0) {
    out.AppendToken("2:lp");
    out.WriteInteger(record.lp);
  }
  if (record.up != 0) {
    out.AppendToken("2:up");
    out.WriteInteger(record.up);
  }
  out.AppendToken("1:p20:");
  out.AppendRaw(id, 20);
  out.AppendChar('e');
}

}  // namespace lattice::cluster
