#include "options.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <type_traits>

#include "hostile.h"

namespace loadgen {
namespace {

const char* kUsage =
    "usage: loadgen [options]\n"
    "  --host ADDR            tracker address, loopback only (127.0.0.1)\n"
    "  --port N               tracker port (3000)\n"
    "  --ports N,N,...        several tracker ports (cluster nodes): connection i goes to the (i mod n)-th\n"
    "  --tcp N  --utp N       TCP and uTP connections\n"
    "  --udp-sockets N        client UDP sockets carrying the uTP connections\n"
    "  --peers-per-conn N     peer ids announced on each connection (1)\n"
    "  --share-size N         peers per share (1); --share-bytes 20|32\n"
    "  --outstanding K        closed loop: requests in flight per connection (1)\n"
    "  --rate R               fixed total requests per second instead (--rate-cap K per connection)\n"
    "  --idle                 no requests after warm-up, only keep-alives\n"
    "  --duration S           measured seconds (5); --drain S (5); --timeout S (hard limit)\n"
    "  --keepalive S          re-announce a connection silent for S seconds (10)\n"
    "  --hold S               print \"loadgen: mark measure\" when measuring starts and \"loadgen: mark\n"
    "                         drained\" after the drain, then wait S s before closing the connections\n"
    "  --warmup-window N      announces in flight per connection during warm-up (16)\n"
    "  --connect-window N     connection attempts in flight (256)\n"
    "  --tracker-pid PID      sample its VmRSS and CPU time\n"
    "  --json FILE  --label TEXT  --max-errors N (0)  --seed N  --quiet\n"
    "hostile modes (with a victim client measuring its latency; see bench/README.md):\n"
    "  --hostile MODE         syn-flood | stuffing | churn | non-reader | pipeline | victim\n"
    "  --count N  --clients N  --rate R  --duration S  --la-bytes N (65536)\n"
    "  --sources N            SYN flood source addresses 127.0.1.0 and up (256)  --no-victim\n"
    "  --rate R               churn: cycles started per second; non-reader: the requesters' total\n"
    "                         requests per second (the non-readers then re-send every --keepalive s\n"
    "                         and are reopened when closed, at most --count times)\n"
    "  --victim-interval-ms N the victim's request interval per side (10)\n"
    "  --report-every S       the victim prints one line of latency per S seconds (\"interval {...}\")\n";

bool Number(const char* text, double lo, double hi, double* out) {
  char* end = nullptr;
  double v = std::strtod(text, &end);
  if (end == text || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

// "P1,P2,...": whole numbers 1 to 65535, no empty entry.
bool PortList(const char* text, std::vector<std::uint16_t>* out) {
  std::vector<std::uint16_t> ports;
  std::string all = text;
  std::size_t at = 0;
  while (true) {
    std::size_t comma = all.find(',', at);
    std::string word = all.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    double v;
    if (word.empty() || word.find_first_not_of("0123456789") != std::string::npos ||
        !Number(word.c_str(), 1, 65535, &v))
      return false;
    ports.push_back(static_cast<std::uint16_t>(v));
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  *out = ports;
  return true;
}

}  // namespace

bool ParseOptions(int argc, char** argv, Options& o) {
  using Setter = std::function<bool(const char*)>;
  auto integer = [](auto* field, double lo, double hi) {
    return Setter([=](const char* t) {
      double v;
      if (!Number(t, lo, hi, &v) || v != static_cast<double>(static_cast<std::uint64_t>(v))) return false;
      *field = static_cast<std::remove_pointer_t<decltype(field)>>(v);
      return true;
    });
  };
  auto real = [](double* field, double lo, double hi) {
    return Setter([=](const char* t) { return Number(t, lo, hi, field); });
  };
  std::map<std::string, Setter> valued = {
      {"--host", [&](const char* t) { o.host = t; return true; }},
      {"--port", integer(&o.port, 1, 65535)},
      {"--ports", [&](const char* t) { return PortList(t, &o.ports); }},
      {"--tcp", integer(&o.tcp, 0, 1000000)},
      {"--utp", integer(&o.utp, 0, 1000000)},
      {"--udp-sockets", integer(&o.udpSockets, 0, 1024)},
      {"--peers-per-conn", integer(&o.peersPerConn, 1, 1000000)},
      {"--share-size", integer(&o.shareSize, 1, 100000000)},
      {"--share-bytes", integer(&o.shareBytes, 20, 32)},
      {"--outstanding", integer(&o.outstanding, 0, 4096)},
      {"--rate", real(&o.rate, 0, 1e8)},
      {"--rate-cap", integer(&o.rateCap, 1, 4096)},
      {"--duration", real(&o.duration, 0, 86400)},
      {"--drain", real(&o.drain, 0, 600)},
      {"--timeout", real(&o.timeout, 0, 90000)},
      {"--keepalive", real(&o.keepalive, 0.1, 3600)},
      {"--hold", real(&o.hold, 0, 20)},
      {"--warmup-window", integer(&o.warmupWindow, 1, 4096)},
      {"--connect-window", integer(&o.connectWindow, 1, 100000)},
      {"--tracker-pid", integer(&o.trackerPid, 1, 1 << 30)},
      {"--json", [&](const char* t) { o.json = t; return true; }},
      {"--label", [&](const char* t) { o.label = t; return true; }},
      {"--max-errors", integer(&o.maxErrors, 0, 1e15)},
      {"--seed", integer(&o.seed, 0, 4294967295.0)},
      {"--hostile", [&](const char* t) { o.hostile = t; return IsHostileMode(t); }},
      {"--count", integer(&o.count, 0, 1e9)},
      {"--clients", integer(&o.clients, 0, 100000)},
      {"--la-bytes", integer(&o.laBytes, 0, 16u << 20)},
      {"--sources", integer(&o.sources, 1, 4096)},
      {"--victim-interval-ms", real(&o.victimIntervalMs, 1, 10000)},
      {"--report-every", real(&o.reportEvery, 0, 86400)},
  };
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    if (name == "--help" || name == "-h") {
      std::fputs(kUsage, stdout);
      return false;
    }
    if (name == "--idle") {
      o.idle = true;
      continue;
    }
    if (name == "--quiet") {
      o.quiet = true;
      continue;
    }
    if (name == "--no-victim") {
      o.noVictim = true;
      continue;
    }
    auto it = valued.find(name);
    if (it == valued.end() || i + 1 >= argc || !it->second(argv[i + 1])) {
      std::fprintf(stderr, "loadgen: bad option or value: %s\n%s", name.c_str(), kUsage);
      return false;
    }
    ++i;
  }
  if (o.shareBytes != 20 && o.shareBytes != 32) {
    std::fprintf(stderr, "loadgen: --share-bytes must be 20 or 32\n");
    return false;
  }
  // Traffic goes to this machine only.
  if (o.host.rfind("127.", 0) != 0 && o.host != "localhost") {
    if (!o.hostile.empty() || o.host != "::1") {
      std::fprintf(stderr, "loadgen: --host must be a loopback address%s\n", o.hostile.empty() ? "" : " (IPv4 for hostile modes)");
      return false;
    }
  }
  if (o.host == "localhost") o.host = "127.0.0.1";
  if (o.ports.empty()) o.ports.push_back(o.port);
  if (!o.hostile.empty()) {
    if (o.timeout == 0) o.timeout = o.duration + 30;
    return true;
  }
  if (o.tcp + o.utp == 0) {
    std::fprintf(stderr, "loadgen: no connections (--tcp, --utp)\n");
    return false;
  }
  if (static_cast<std::uint64_t>(o.tcp + o.utp) * o.peersPerConn >= 0xFFFFFFFFull) {
    std::fprintf(stderr, "loadgen: too many peers\n");
    return false;
  }
  if (o.rate == 0 && !o.idle && o.outstanding == 0) {
    std::fprintf(stderr, "loadgen: --outstanding 0 needs --rate or --idle\n");
    return false;
  }
  // Several sockets, so no single one carries every uTP connection.
  if (o.udpSockets == 0) o.udpSockets = std::min(32u, std::max(4u, (o.utp + 624) / 625));
  if (o.udpSockets > o.utp) o.udpSockets = o.utp;
  if (o.timeout == 0) o.timeout = 120 + 2 * (o.duration + o.drain) + o.hold;
  return true;
}

}  // namespace loadgen
