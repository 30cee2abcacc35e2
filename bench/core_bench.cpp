// Micro-benchmarks of the protocol core: decoding a request, encoding a full
// reply, and one whole "get_peers" in shares of growing size.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "log/log.h"
#include "log/loop_clock.h"
#include "net/byte_ring.h"
#include "platform/address_family.h"
#include "tracker/get_peers_request.h"
#include "tracker/peer_registry.h"
#include "tracker/peers_encoder.h"
#include "tracker/request_handler.h"
#include "tracker/tracker.h"

namespace {

using namespace lattice;

constexpr std::int64_t kTime = 1700000000;

// A connection without I/O. Send remembers which rings got bytes so that the
// timed loop can empty just those.
class BenchSocket final : public Connection {
 public:
  explicit BenchSocket(int kind, std::vector<BenchSocket*>* touched = nullptr) : kind_(kind), touched_(touched) {}
  int Kind() const override { return kind_; }
  bool Send(const void* data, std::size_t length) override {
    if (touched_ != nullptr) touched_->push_back(this);
    return outbound.Write(data, length) != 0;
  }
  void ResumeInput() override {}
  ByteRing outbound;

 private:
  int kind_;
  std::vector<BenchSocket*>* touched_;
};

void SetIpv4(CompactAddress& address, std::uint32_t host, std::uint16_t port) {
  const std::uint8_t bytes[6] = {127, static_cast<std::uint8_t>(host >> 16), static_cast<std::uint8_t>(host >> 8),
                                 static_cast<std::uint8_t>(host), static_cast<std::uint8_t>(port >> 8),
                                 static_cast<std::uint8_t>(port)};
  std::memcpy(address.bytes, bytes, sizeof bytes);
  address.size = 6;
}

std::string BString(const std::string& bytes) { return std::to_string(bytes.size()) + ":" + bytes; }

std::string IdBytes(std::uint32_t n, char tag) {
  std::string id(20, tag);
  for (int i = 0; i < 4; ++i) id[16 + i] = static_cast<char>(n >> (8 * (3 - i)));
  return id;
}

std::string CompactV4(std::uint8_t last, std::uint16_t port) {
  return std::string{'\x7f', '\0', '\0', static_cast<char>(last), static_cast<char>(port >> 8),
                     static_cast<char>(port & 0xff)};
}

// What a client typically sends: a 20-byte share, its id, two ports, a
// version, one local address and a short list of them.
std::string TypicalRequest(const std::string& share, const std::string& peer) {
  std::string laList = BString(CompactV4(2, 6881)) + BString(CompactV4(3, 6882)) + BString(CompactV4(4, 6883));
  std::string body = "d1:m9:get_peers2:la" + BString(CompactV4(1, 6881)) + "7:la_list" + BString(laList) +
                     "2:lpi6881e2:upi6882e2:pvi2e4:peer" + BString(peer) + "5:share" + BString(share) + "e";
  std::uint32_t n = static_cast<std::uint32_t>(body.size());
  std::string prefix{static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                     static_cast<char>(n)};
  return prefix + body;
}

const std::uint8_t* Data(const std::string& s) { return reinterpret_cast<const std::uint8_t*>(s.data()); }

// One tracker for every share size, as in a running process.
Tracker& TheTracker() {
  static auto* tracker = new Tracker;
  return *tracker;
}

void QuietLog() {
  static bool once = [] {
    // Every binding logs a line; the benchmark's output is no place for them.
    SetLogStreamForTesting(std::fopen("/dev/null", "w"));
    return true;
  }();
  (void)once;
  SetLoopClock(kTime);
  TheTracker().now = kTime;
}

void BM_DecodeTypicalRequest(benchmark::State& state) {
  const std::string message = TypicalRequest(IdBytes(1, 's'), IdBytes(1, 'p'));
  for (auto _ : state) {
    GetPeersRequest request;
    bool ok = ParseGetPeers(Data(message), message.size(), request);
    benchmark::DoNotOptimize(ok);
    benchmark::DoNotOptimize(request);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(message.size()));
}
BENCHMARK(BM_DecodeTypicalRequest);

// A share of peers, each bound to a TCP connection of its own, plus one
// requester that has asked once already.
struct World {
  std::string share;
  std::string message;  // the requester's get_peers
  std::vector<std::unique_ptr<BenchSocket>> peers;
  std::unique_ptr<BenchSocket> requester;
  std::vector<BenchSocket*> touched;
};

World& Populated(std::size_t size) {
  static std::map<std::size_t, std::unique_ptr<World>> worlds;
  auto& slot = worlds[size];
  if (slot) return *slot;
  QuietLog();
  slot = std::make_unique<World>();
  World& w = *slot;
  w.share = IdBytes(static_cast<std::uint32_t>(size), 's');
  ShareId key = ShareId::From(Data(w.share), 20);
  const std::string la = BString(CompactV4(9, 6881));
  w.peers.reserve(size);
  for (std::size_t i = 0; i < size; ++i) {
    // Registered directly: going through the handler would queue introductions
    // on every earlier peer and only measure the setup.
    std::string id = IdBytes(static_cast<std::uint32_t>(i), 'p');
    GetPeersRequest r;
    r.type = RequestType::GetPeers;
    r.peer = Data(id);
    r.share = Data(w.share);
    r.shareLength = 20;
    r.lp = 6881;
    r.la = ByteView{Data(la), la.size()};
    auto socket = std::make_unique<BenchSocket>(Tcp, &w.touched);
    SetIpv4(socket->peerAddress, static_cast<std::uint32_t>(i + 1), 40000);
    TheTracker().registry.BindPeer(*socket, key, *TheTracker().registry.RegisterPeer(r, key));
    w.peers.push_back(std::move(socket));
  }
  w.requester = std::make_unique<BenchSocket>(Tcp, &w.touched);
  SetIpv4(w.requester->peerAddress, 0xfffffe, 50000);
  w.message = TypicalRequest(w.share, IdBytes(0xffffffff, 'r'));
  HandleMessage(TheTracker(), *w.requester, Data(w.message), w.message.size(), w.requester->peerAddress);
  for (BenchSocket* s : w.touched) s->outbound.Clear();
  w.touched.clear();
  return w;
}

void BM_EncodeReply15(benchmark::State& state) {
  World& w = Populated(16);
  GetPeersRequest request;
  ParseGetPeers(Data(w.message), w.message.size(), request);
  ShareId key = ShareId::From(Data(w.share), 20);
  std::vector<PeerRecord*> selection;
  PeerRecord* requester = nullptr;
  for (PeerRecord* r : *TheTracker().registry.FindShareRecords(key)) {
    if (r->id == PeerId::From(request.peer)) requester = r;
    else if (selection.size() < 15) selection.push_back(r);
  }
  if (requester == nullptr || selection.size() != 15) {
    state.SkipWithError("share not populated as expected");
    return;
  }
  std::size_t length = 0;
  for (auto _ : state) {
    EncodedMessage m = EncodePeersMessage(TheTracker().replyBuffer, TheTracker().registry, PeersMode::Reply,
                                          request, *requester, w.requester->peerAddress, selection, kTime);
    benchmark::DoNotOptimize(m.data);
    length = m.length;
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(length));
  state.counters["reply_bytes"] = static_cast<double>(length);
}
BENCHMARK(BM_EncodeReply15);

// The requester asks again and again; the introductions to the chosen peers
// are part of the cost, emptying their rings afterwards is not much of it.
void BM_GetPeersInShare(benchmark::State& state) {
  World& w = Populated(static_cast<std::size_t>(state.range(0)));
  std::size_t introductions = 0;
  for (auto _ : state) {
    EncodedMessage reply =
        HandleMessage(TheTracker(), *w.requester, Data(w.message), w.message.size(), w.requester->peerAddress);
    benchmark::DoNotOptimize(reply.data);
    introductions += w.touched.size();
    for (BenchSocket* s : w.touched) s->outbound.Clear();
    w.touched.clear();
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["introductions"] =
      benchmark::Counter(static_cast<double>(introductions), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_GetPeersInShare)->Arg(10)->Arg(1000)->Arg(100000);

}  // namespace

BENCHMARK_MAIN();
