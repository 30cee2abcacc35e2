#include "tracker/metrics_text.h"

#include <cstdarg>
#include <cstdio>

#include "log/log.h"
#include "tracker/connection.h"

namespace lattice {
namespace {

// The label value of each LimitKind, in its order.
constexpr const char* kLimitReasons[] = {"descriptors", "connections", "per_address",    "peer_ids",
                                         "la_bytes",    "per_peer_id", "registry_bytes", "pending_utp"};
static_assert(sizeof kLimitReasons / sizeof kLimitReasons[0] == kLimitKinds, "one label per limit");

constexpr const char* kDropReasonLabels[] = {"ring_full", "too_large"};
static_assert(sizeof kDropReasonLabels / sizeof kDropReasonLabels[0] == kDropReasons, "one label per reason");


void Family(std::string& out, const char* name, const char* type, const char* help) {
  AppendFormat(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

void Value(std::string& out, const char* name, std::uint64_t value) {
  AppendFormat(out, "%s %llu\n", name, static_cast<unsigned long long>(value));
}

void Labelled(std::string& out, const char* name, const char* label, const char* labelValue, std::uint64_t value) {
  AppendFormat(out, "%s{%s=\"%s\"} %llu\n", name, label, labelValue, static_cast<unsigned long long>(value));
}

// One sample per transport, with the transport's label word.
void ByTransport(std::string& out, const char* name, const std::uint64_t (&values)[3], int first, const char* firstName,
                 int second, const char* secondName) {
  Labelled(out, name, "transport", firstName, values[first]);
  Labelled(out, name, "transport", secondName, values[second]);
}

}  // namespace

void WriteMetricsText(const Tracker& tracker, const MetricsFacts& facts, std::string& out) {
  const TrackerStats& s = tracker.stats;
  out.reserve(out.size() + 8192);

  Family(out, "lattice_build_info", "gauge", "Version, build id, platform and I/O backend of this binary (always 1).");
  AppendFormat(out, "lattice_build_info{version=\"%s\",build_id=\"%s\",platform=\"%s\",io_backend=\"%s\"} 1\n", facts.version,
         facts.buildId, facts.platform, facts.ioBackend);
  Family(out, "lattice_process_start_time_seconds", "gauge", "Start of the tracker run, in seconds since 1970.");
  AppendFormat(out, "lattice_process_start_time_seconds %lld\n", static_cast<long long>(facts.startTime));
  Family(out, "lattice_resident_memory_bytes", "gauge", "Memory of the process resident in RAM.");
  Value(out, "lattice_resident_memory_bytes", facts.residentBytes);
  Family(out, "lattice_allocated_memory_bytes", "gauge",
         "Memory allocated, resident or not: heap in use on Linux, private bytes on Windows.");
  Value(out, "lattice_allocated_memory_bytes", facts.allocatedBytes);

  // The standard process metrics under their conventional names, which
  // dashboards and alerts built for any exporter look for; the lattice_
  // ones above stay for what already reads them.
  Family(out, "process_cpu_seconds_total", "counter", "User and system CPU time the process has used, in seconds.");
  AppendFormat(out, "process_cpu_seconds_total %llu.%09llu\n",
               static_cast<unsigned long long>(facts.cpuNanoseconds / 1000000000u),
               static_cast<unsigned long long>(facts.cpuNanoseconds % 1000000000u));
  if (facts.openDescriptors >= 0) {
    Family(out, "process_open_fds", "gauge",
           "Descriptors the process has open: file descriptors on Linux, handles on Windows.");
    Value(out, "process_open_fds", static_cast<std::uint64_t>(facts.openDescriptors));
  }
  if (facts.maxDescriptors != 0) {
    Family(out, "process_max_fds", "gauge",
           "Most descriptors the process may open: the soft RLIMIT_NOFILE on Linux, the 16777216 handles a "
           "process's handle table holds on Windows.");
    Value(out, "process_max_fds", facts.maxDescriptors);
  }
  Family(out, "process_resident_memory_bytes", "gauge",
         "Memory of the process resident in RAM (the working set on Windows).");
  Value(out, "process_resident_memory_bytes", facts.residentBytes);
  Family(out, "process_start_time_seconds", "gauge",
         "Start of the process (taken as the tracker run's, which begins with it), in seconds since 1970.");
  AppendFormat(out, "process_start_time_seconds %lld\n", static_cast<long long>(facts.startTime));

  Family(out, "lattice_connections_open", "gauge",
         "Client connections not yet destroyed (the report's active peers); a closed one goes at the next sweep.");
  ByTransport(out, "lattice_connections_open", s.active, Tcp, "tcp", Utp, "utp");
  Family(out, "lattice_connections_opened_total", "counter", "Client connections accepted (the report's registered).");
  ByTransport(out, "lattice_connections_opened_total", s.registeredTotal, Tcp, "tcp", Utp, "utp");
  Family(out, "lattice_connections_closed_total", "counter",
         "Client connections destroyed (the report's unregistered).");
  ByTransport(out, "lattice_connections_closed_total", s.unregisteredTotal, Tcp, "tcp", Utp, "utp");

  Family(out, "lattice_peers_registered", "gauge", "Distinct peer ids announced on a connection still open.");
  Value(out, "lattice_peers_registered", tracker.registry.PeerCount());
  Family(out, "lattice_peer_records", "gauge", "Peer records over all shares (one per peer and share).");
  Value(out, "lattice_peer_records", tracker.registry.RecordCount());
  Family(out, "lattice_shares_registered", "gauge", "Shares with at least one peer record.");
  Value(out, "lattice_shares_registered", tracker.registry.ShareCount());

  Family(out, "lattice_get_peers_received_total", "counter", "get_peers requests received (the report's recv).");
  ByTransport(out, "lattice_get_peers_received_total", s.getPeersTotal, Tcp, "tcp", Utp, "utp");
  Family(out, "lattice_peers_sent_total", "counter",
         "peers messages queued, replies and introductions together (the report's sent).");
  ByTransport(out, "lattice_peers_sent_total", s.peersSentTotal, Tcp, "tcp", Utp, "utp");
  Family(out, "lattice_peers_dropped_total", "counter",
         "peers messages not queued: a reply only when larger than the 8 KiB ring (one that waits for room is "
         "held, not dropped), an introduction also when the ring is full.");
  AppendFormat(out, "lattice_peers_dropped_total{message=\"reply\",reason=\"too_large\"} %llu\n",
         static_cast<unsigned long long>(s.repliesDropped));
  for (int r = 0; r < kDropReasons; ++r) {
    AppendFormat(out, "lattice_peers_dropped_total{message=\"introduction\",reason=\"%s\"} %llu\n", kDropReasonLabels[r],
           static_cast<unsigned long long>(s.introductionsDropped[r]));
  }

  Family(out, "lattice_bytes_received_total", "counter", "Bytes received: TCP connections, and UDP datagrams (uTP).");
  ByTransport(out, "lattice_bytes_received_total", s.bytesReceived, Tcp, "tcp", Udp, "udp");
  Family(out, "lattice_bytes_sent_total", "counter", "Bytes sent: TCP connections, and UDP datagrams (uTP).");
  ByTransport(out, "lattice_bytes_sent_total", s.bytesSent, Tcp, "tcp", Udp, "udp");

  Family(out, "lattice_limit_hits_total", "counter",
         "Times a bound refused or dropped something (the report's limits hit).");
  for (int k = 0; k < kLimitKinds; ++k)
    Labelled(out, "lattice_limit_hits_total", "reason", kLimitReasons[k], s.limitHits[k]);

  Family(out, "lattice_log_lines_dropped_total", "counter", "Log lines lost because standard output did not keep up.");
  Value(out, "lattice_log_lines_dropped_total", facts.logLinesDropped);
  Family(out, "lattice_metrics_connections_refused_total", "counter",
         "Metrics connections closed at once because 16 were already open.");
  Value(out, "lattice_metrics_connections_refused_total", facts.connectionsRefused);

  const PassTimeHistogram& h = s.passTimes;
  Family(out, "lattice_loop_pass_seconds", "histogram",
         "Work of one event-loop pass, its wait for completions excluded.");
  std::uint64_t cumulative = 0;
  for (int i = 0; i < PassTimeHistogram::kBuckets; ++i) {
    cumulative += h.counts[i];
    AppendFormat(out, "lattice_loop_pass_seconds_bucket{le=\"%s\"} %llu\n", PassTimeHistogram::kBoundText[i],
           static_cast<unsigned long long>(cumulative));
  }
  AppendFormat(out, "lattice_loop_pass_seconds_bucket{le=\"+Inf\"} %llu\n", static_cast<unsigned long long>(h.count));
  AppendFormat(out, "lattice_loop_pass_seconds_sum %llu.%09llu\n",
         static_cast<unsigned long long>(h.sumNanoseconds / 1000000000u),
         static_cast<unsigned long long>(h.sumNanoseconds % 1000000000u));
  Value(out, "lattice_loop_pass_seconds_count", h.count);
  if (tracker.shared != nullptr) tracker.shared->WriteMetrics(out);
}

}  // namespace lattice
