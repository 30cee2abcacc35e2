#include "tracker/peers_encoder.h"

#include <cstring>

#include "net/socket_address.h"
#include "tracker/reply_buffer.h"

namespace lattice {
namespace {

// Address bytes then port bytes, both already in network order in the
// socket address: IPv4 at offsets 4 and 2, IPv6 at offsets 8 and 2.
std::size_t CompactAddress(const AddressStorage& address, std::uint8_t out[18]) {
  std::uint16_t family = AddressFamily(address.bytes);
  if (family == platform::kFamilyInet) {
    std::memcpy(out, address.bytes + 4, 4);
    std::memcpy(out + 4, address.bytes + 2, 2);
    return 6;
  }
  if (family == platform::kFamilyInet6) {
    std::memcpy(out, address.bytes + 8, 16);
    std::memcpy(out + 16, address.bytes + 2, 2);
    return 18;
  }
  return 0;
}

void WritePort(std::uint16_t networkOrder) {
  std::uint8_t be[2];
  std::memcpy(be, &networkOrder, 2);
  WriteInteger(static_cast<std::uint64_t>(be[0]) << 8 | be[1]);
}

}  // namespace

void EncodeAddress(const AddressStorage& address, AddressForm form, int kind) {
  if (form == AddressForm::TcpItem && kind != Tcp) return;
  if (form == AddressForm::UtpItem && kind != Utp) return;
  std::uint8_t compact[18];
  std::size_t size = CompactAddress(address, compact);
  if (size == 0) return;
  if (form == AddressForm::Keyed) {
    if (size == 6) AppendToken("1:a6:"); else AppendToken("1:a18:");
  } else {
    if (size == 6) AppendToken("6:"); else AppendToken("18:");
  }
  AppendRaw(compact, size);
}

void EncodePeerEntry(const PeerRecord& record, const AddressStorage* address, int /*kind*/) {
  const std::vector<Socket*>* connections = PeerConnectionsOf(record);
  bool connected = connections != nullptr && !connections->empty();
  AppendChar('d');
  if (address != nullptr) {
    EncodeAddress(*address, AddressForm::Keyed, Tcp);
  } else if (connected) {
    EncodeAddress(connections->front()->peerAddress, AddressForm::Keyed, Tcp);
  }
  if (connected) {
    AppendToken("8:tcp_list");
    AppendChar('l');
    for (Socket* s : *connections) EncodeAddress(s->peerAddress, AddressForm::TcpItem, s->Kind());
    AppendChar('e');
    AppendToken("8:utp_list");
    AppendChar('l');
    for (Socket* s : *connections) EncodeAddress(s->peerAddress, AddressForm::UtpItem, s->Kind());
    AppendChar('e');
  }
  if (!record.la.empty()) {
    AppendToken("2:la");
    AppendRaw(record.la.data.get(), record.la.length);
  }
  if (!record.laList.empty()) {
    AppendToken("7:la_list");
    AppendRaw(record.laList.data.get(), record.laList.length);
  }
  if (record.lp != 0) {
    AppendToken("2:lp");
    WritePort(record.lp);
  }
  if (record.up != 0) {
    AppendToken("2:up");
    WritePort(record.up);
  }
  AppendToken("1:p20:");
  AppendRaw(record.id.bytes.data(), record.id.bytes.size());
  AppendChar('e');
}

EncodedMessage EncodePeersMessage(PeersMode mode, const GetPeersRequest& request,
                                  const PeerRecord& requester, const AddressStorage& address,
                                  int kind, const std::vector<PeerRecord*>& selection,
                                  std::int64_t time) {
  BeginMessage();
  AppendChar('d');
  AppendToken("1:m5:peers");
  AppendToken("5:peers");
  AppendChar('l');
  if (mode == PeersMode::Introduce) {
    EncodePeerEntry(requester, &address, kind);
  } else {
    for (const PeerRecord* record : selection) EncodePeerEntry(*record, nullptr, kind);
  }
  AppendChar('e');
  AppendToken("5:share");
  WriteString(request.share, request.shareLength);
  AppendToken("4:time");
  WriteInteger(static_cast<std::uint64_t>(time));
  AppendChar('e');
  FinishMessage();
  return {ReplyBuffer().data(), ReplyBuffer().size()};
}

}  // namespace lattice
