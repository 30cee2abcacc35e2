#include "report.h"

#include <algorithm>
#include <cstdio>

namespace loadgen {
namespace {

double Percentile(const std::vector<std::uint32_t>& sorted, double q) {
  if (sorted.empty()) return 0;
  auto at = static_cast<std::size_t>(q * static_cast<double>(sorted.size()));
  return sorted[std::min(at, sorted.size() - 1)] / 1000.0;  // microseconds
}

double PerSecond(std::uint64_t count, double seconds) { return seconds > 0 ? count / seconds : 0; }
double Mean(std::uint64_t sum, std::uint64_t count) { return count > 0 ? static_cast<double>(sum) / count : 0; }

struct Derived {
  double requestsPerSecond, repliesPerSecond, introductionsPerSecond;
  double p50, p99, p999, max;
  double trackerCpu, trackerUtilisation, cpuMicrosPerRequest, cpuMicrosPerMessage, systemMicrosPerRequest;
  double ownUtilisation;
  double replyBytes, introductionBytes;
  double bytesPerConnection, bytesPerConnectionEnd;
};

Derived Derive(const RunSummary& s, const std::vector<std::uint32_t>& sorted) {
  Derived d{};
  const double t = s.measuredSeconds;
  d.requestsPerSecond = PerSecond(s.window.requests, t);
  d.repliesPerSecond = PerSecond(s.window.replies, t);
  d.introductionsPerSecond = PerSecond(s.window.introductions, t);
  d.p50 = Percentile(sorted, 0.50);
  d.p99 = Percentile(sorted, 0.99);
  d.p999 = Percentile(sorted, 0.999);
  d.max = sorted.empty() ? 0 : sorted.back() / 1000.0;
  if (s.trackerWarm.valid && s.trackerEnd.valid) {
    d.trackerCpu = s.trackerEnd.cpuSeconds - s.trackerWarm.cpuSeconds;
    d.trackerUtilisation = t > 0 ? d.trackerCpu / t : 0;
    if (s.window.replies > 0) {
      d.cpuMicrosPerRequest = d.trackerCpu * 1e6 / static_cast<double>(s.window.replies);
      d.systemMicrosPerRequest = (s.trackerEnd.systemSeconds - s.trackerWarm.systemSeconds) * 1e6 /
                                 static_cast<double>(s.window.replies);
    }
    std::uint64_t messages = s.window.replies + s.window.introductions;
    if (messages > 0) d.cpuMicrosPerMessage = d.trackerCpu * 1e6 / static_cast<double>(messages);
  }
  d.ownUtilisation = t > 0 ? s.ownCpuSeconds / t : 0;
  d.replyBytes = Mean(s.window.replyBytes, s.window.replies);
  d.introductionBytes = Mean(s.window.introductionBytes, s.window.introductions);
  if (s.trackerBefore.valid && s.trackerWarm.valid && s.connections > 0) {
    d.bytesPerConnection = (s.trackerWarm.rssKiB - s.trackerBefore.rssKiB) * 1024.0 / s.connections;
    if (s.trackerEnd.valid)
      d.bytesPerConnectionEnd = (s.trackerEnd.rssKiB - s.trackerBefore.rssKiB) * 1024.0 / s.connections;
  }
  return d;
}

void PrintTable(const RunSummary& s, const Derived& d) {
  const Options& o = *s.options;
  std::printf("loadgen %s: %u TCP + %u uTP connections (%u UDP sockets), %u peers in %u shares of %u, ",
              s.label.c_str(), o.tcp, o.utp, o.utp > 0 ? o.udpSockets : 0, s.peers, s.shares, o.shareSize);
  if (o.idle) std::printf("idle\n");
  else if (o.rate > 0) std::printf("rate %.0f/s\n", o.rate);
  else std::printf("closed loop K=%u\n", o.outstanding);
  std::printf("  phases: connect+announce %.2f s, measured %.2f s, drain %.2f s%s\n", s.warmupSeconds,
              s.measuredSeconds, s.drainSeconds, s.timedOut ? " (HARD TIME-OUT)" : "");
  std::printf("  %-22s %14s %14s\n", "", "in window", "per second");
  std::printf("  %-22s %14llu %14.0f\n", "requests", static_cast<unsigned long long>(s.window.requests),
              d.requestsPerSecond);
  std::printf("  %-22s %14llu %14.0f\n", "replies", static_cast<unsigned long long>(s.window.replies),
              d.repliesPerSecond);
  std::printf("  %-22s %14llu %14.0f\n", "introductions", static_cast<unsigned long long>(s.window.introductions),
              d.introductionsPerSecond);
  std::printf("  reply latency us: p50 %.1f  p99 %.1f  p99.9 %.1f  max %.1f\n", d.p50, d.p99, d.p999, d.max);
  std::printf("  bytes: reply %.1f, introduction %.1f\n", d.replyBytes, d.introductionBytes);
  if (s.trackerWarm.valid) {
    std::printf("  server cpu: %.2f s (%.0f%% of one core), %.2f us/request (%.2f in the kernel), %.3f us/message\n",
                d.trackerCpu, 100 * d.trackerUtilisation, d.cpuMicrosPerRequest, d.systemMicrosPerRequest,
                d.cpuMicrosPerMessage);
    std::printf("  server rss KiB: before %lld, after warm-up %lld, after run %lld; %.0f bytes/connection\n",
                static_cast<long long>(s.trackerBefore.rssKiB), static_cast<long long>(s.trackerWarm.rssKiB),
                static_cast<long long>(s.trackerEnd.rssKiB), d.bytesPerConnection);
  }
  std::printf("  loadgen cpu: %.0f%% of one core\n", 100 * d.ownUtilisation);
  const Errors& e = s.errors;
  std::printf("  errors: %llu (malformed %llu, unexpected %llu, unexpected closes %llu, connect failures %llu, "
              "missing replies %llu, lost introductions %llu)\n",
              static_cast<unsigned long long>(e.Total()), static_cast<unsigned long long>(e.malformed),
              static_cast<unsigned long long>(e.unexpected), static_cast<unsigned long long>(e.unexpectedCloses),
              static_cast<unsigned long long>(e.connectFailures), static_cast<unsigned long long>(e.missingReplies),
              static_cast<unsigned long long>(e.lostIntroductions));
  if (s.datagramDrops != 0 || s.rateShortfall != 0)
    std::printf("  notes: %llu datagrams not sent (socket full), %llu scheduled requests skipped\n",
                static_cast<unsigned long long>(s.datagramDrops), static_cast<unsigned long long>(s.rateShortfall));
  std::fflush(stdout);
}

void WriteJson(const RunSummary& s, const Derived& d) {
  std::FILE* f = std::fopen(s.options->json.c_str(), "w");
  if (f == nullptr) {
    std::perror("loadgen: --json");
    return;
  }
  const Options& o = *s.options;
  auto u = [](std::uint64_t v) { return static_cast<unsigned long long>(v); };
  std::fprintf(f, "{\n  \"label\": \"%s\",\n", s.label.c_str());
  std::fprintf(f,
               "  \"tcp\": %u, \"utp\": %u, \"udp_sockets\": %u, \"peers\": %u, \"shares\": %u, \"share_size\": %u,\n"
               "  \"peers_per_conn\": %u, \"outstanding\": %u, \"rate\": %.1f, \"idle\": %s,\n",
               o.tcp, o.utp, o.utp > 0 ? o.udpSockets : 0, s.peers, s.shares, o.shareSize, o.peersPerConn,
               o.outstanding, o.rate, o.idle ? "true" : "false");
  std::fprintf(f, "  \"warmup_s\": %.4f, \"measured_s\": %.4f, \"drain_s\": %.4f, \"timed_out\": %s,\n",
               s.warmupSeconds, s.measuredSeconds, s.drainSeconds, s.timedOut ? "true" : "false");
  std::fprintf(f,
               "  \"requests\": %llu, \"replies\": %llu, \"introductions\": %llu,\n"
               "  \"requests_per_s\": %.1f, \"replies_per_s\": %.1f, \"introductions_per_s\": %.1f,\n",
               u(s.window.requests), u(s.window.replies), u(s.window.introductions), d.requestsPerSecond,
               d.repliesPerSecond, d.introductionsPerSecond);
  std::fprintf(f, "  \"latency_us\": {\"p50\": %.2f, \"p99\": %.2f, \"p999\": %.2f, \"max\": %.2f},\n", d.p50, d.p99,
               d.p999, d.max);
  std::fprintf(f, "  \"reply_bytes\": %.2f, \"introduction_bytes\": %.2f,\n", d.replyBytes, d.introductionBytes);
  std::fprintf(f,
               "  \"server_cpu_s\": %.4f, \"server_utilisation\": %.4f, \"server_cpu_us_per_request\": %.4f,\n"
               "  \"server_system_us_per_request\": %.4f,\n"
               "  \"server_cpu_us_per_message\": %.5f, \"loadgen_utilisation\": %.4f,\n",
               d.trackerCpu, d.trackerUtilisation, d.cpuMicrosPerRequest, d.systemMicrosPerRequest,
               d.cpuMicrosPerMessage, d.ownUtilisation);
  std::fprintf(f,
               "  \"rss_kib\": {\"before\": %lld, \"after_warmup\": %lld, \"after_run\": %lld},\n"
               "  \"rss_bytes_per_connection\": %.1f, \"rss_bytes_per_connection_after_run\": %.1f,\n",
               static_cast<long long>(s.trackerBefore.rssKiB), static_cast<long long>(s.trackerWarm.rssKiB),
               static_cast<long long>(s.trackerEnd.rssKiB), d.bytesPerConnection, d.bytesPerConnectionEnd);
  const Errors& e = s.errors;
  std::fprintf(f,
               "  \"errors\": {\"total\": %llu, \"malformed\": %llu, \"unexpected\": %llu, \"unexpected_closes\": %llu,\n"
               "             \"connect_failures\": %llu, \"missing_replies\": %llu, \"lost_introductions\": %llu},\n",
               u(e.Total()), u(e.malformed), u(e.unexpected), u(e.unexpectedCloses), u(e.connectFailures),
               u(e.missingReplies), u(e.lostIntroductions));
  std::fprintf(f,
               "  \"announces\": %llu, \"keepalives\": %llu, \"datagram_drops\": %llu, \"rate_shortfall\": %llu,\n"
               "  \"exit_code\": %d\n}\n",
               u(s.total.announces), u(s.total.keepalives), u(s.datagramDrops), u(s.rateShortfall), s.exitCode);
  std::fclose(f);
}

}  // namespace

void PrintAndSave(const RunSummary& summary, std::vector<std::uint32_t>& latencies) {
  std::sort(latencies.begin(), latencies.end());
  Derived d = Derive(summary, latencies);
  if (!summary.options->quiet || summary.exitCode != 0) PrintTable(summary, d);
  if (!summary.options->json.empty()) WriteJson(summary, d);
}

}  // namespace loadgen
