#include "tracker/peers_encoder.h"

#include <cstring>


namespace lattice {
namespace {

void WritePort(ReplyBuffer& out, std::uint16_t networkOrder) {
  std::uint8_t be[2];
  std::memcpy(be, &networkOrder, 2);
  out.WriteInteger(static_cast<std::uint64_t>(be[0]) << 8 | be[1]);
}

}  // namespace

void EncodeAddress(ReplyBuffer& out, const CompactAddress& address, AddressForm form, int kind) {
  if (form == AddressForm::TcpItem && kind != Tcp) return;
  if (form == AddressForm::UtpItem && kind != Utp) return;
  if (address.size == 0) return;
  if (form == AddressForm::Keyed) {
    if (address.size == 6) out.AppendToken("1:a6:"); else out.AppendToken("1:a18:");
  } else {
    if (address.size == 6) out.AppendToken("6:"); else out.AppendToken("18:");
  }
  out.AppendRaw(address.bytes, address.size);
}

void EncodePeerEntry(ReplyBuffer& out, const PeerRegistry& registry, const PeerRecord& record,
                     const CompactAddress* address) {
  const std::vector<Connection*>* connections = registry.PeerConnectionsOf(record);
  bool connected = connections != nullptr && !connections->empty();
  out.AppendChar('d');
  if (address != nullptr) {
    EncodeAddress(out, *address, AddressForm::Keyed, Tcp);
  } else if (connected) {
    EncodeAddress(out, connections->front()->peerAddress, AddressForm::Keyed, Tcp);
  }
  if (connected) {
    out.AppendToken("8:tcp_list");
    out.AppendChar('l');
    for (const Connection* s : *connections) EncodeAddress(out, s->peerAddress, AddressForm::TcpItem, s->Kind());
    out.AppendChar('e');
    out.AppendToken("8:utp_list");
    out.AppendChar('l');
    for (const Connection* s : *connections) EncodeAddress(out, s->peerAddress, AddressForm::UtpItem, s->Kind());
    out.AppendChar('e');
  }
  if (!record.la.empty()) {
    out.AppendToken("2:la");
    out.AppendRaw(record.la.data(), record.la.length);
  }
  if (!record.laList.empty()) {
    out.AppendToken("7:la_list");
    out.AppendRaw(record.laList.data(), record.laList.length);
  }
  if (record.lp != 0) {
    out.AppendToken("2:lp");
    WritePort(out, record.lp);
  }
  if (record.up != 0) {
    out.AppendToken("2:up");
    WritePort(out, record.up);
  }
  out.AppendToken("1:p20:");
  out.AppendRaw(record.id.bytes.data(), record.id.bytes.size());
  out.AppendChar('e');
}

void BeginPeersMessage(ReplyBuffer& out) {
  out.BeginMessage();
  out.AppendChar('d');
  out.AppendToken("1:m5:peers");
  out.AppendToken("5:peers");
  out.AppendChar('l');
}

EncodedMessage FinishPeersMessage(ReplyBuffer& out, const GetPeersRequest& request, std::int64_t time) {
  out.AppendChar('e');
  out.AppendToken("5:share");
  out.WriteString(request.share, request.shareLength);
  out.AppendToken("4:time");
  out.WriteInteger(static_cast<std::uint64_t>(time));
  out.AppendChar('e');
  out.FinishMessage();
  return {out.data(), out.size()};
}

EncodedMessage EncodePeersMessage(ReplyBuffer& out, const PeerRegistry& registry, PeersMode mode,
                                  const GetPeersRequest& request,
                                  const PeerRecord& requester, const CompactAddress& address,
                                  const std::vector<PeerRecord*>& selection,
                                  std::int64_t time) {
  BeginPeersMessage(out);
  if (mode == PeersMode::Introduce) {
    EncodePeerEntry(out, registry, requester, &address);
  } else {
    for (const PeerRecord* record : selection) EncodePeerEntry(out, registry, *record, nullptr);
  }
  return FinishPeersMessage(out, request, time);
}

}  // namespace lattice
