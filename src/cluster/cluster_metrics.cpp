// The cluster node's part of the metrics page.
#include "cluster/cluster_node.h"
#include "log/log.h"

namespace lattice::cluster {
namespace {

void Family(std::string& out, const char* name, const char* type, const char* help) {
  AppendFormat(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

void Sample(std::string& out, const char* name, const char* labels, std::uint64_t value) {
  AppendFormat(out, "%s%s %llu\n", name, labels, static_cast<unsigned long long>(value));
}

}  // namespace

void ClusterNode::WriteMetrics(std::string& out) const {
  const EngineStats& e = engine.Stats();
  Family(out, "lattice_cluster_engine_connected", "gauge",
         "1 while the slot map is known and every primary in it has a connection up, else 0.");
  Sample(out, "lattice_cluster_engine_connected", "", engine.Ready() ? 1 : 0);
  Family(out, "lattice_cluster_engine_primaries", "gauge", "Primaries in the slot map, and those with a connection up.");
  Sample(out, "lattice_cluster_engine_primaries", "{state=\"known\"}", engine.PrimariesKnown());
  Sample(out, "lattice_cluster_engine_primaries", "{state=\"connected\"}", engine.PrimariesConnected());
  Family(out, "lattice_cluster_engine_calls_total", "counter", "Calls sent to the cluster engine.");
  Sample(out, "lattice_cluster_engine_calls_total", "", e.calls);
  Family(out, "lattice_cluster_engine_calls_in_flight", "gauge", "Calls sent and not yet answered or timed out.");
  Sample(out, "lattice_cluster_engine_calls_in_flight", "", engine.InFlight());
  Family(out, "lattice_cluster_engine_call_failures_total", "counter",
         "Calls not answered: past the deadline, or their connection broke; and calls refused before sending.");
  Sample(out, "lattice_cluster_engine_call_failures_total", "{reason=\"timed_out\"}", e.timedOut);
  Sample(out, "lattice_cluster_engine_call_failures_total", "{reason=\"unreachable\"}", e.unreachable);
  Sample(out, "lattice_cluster_engine_call_failures_total", "{reason=\"refused\"}", e.refused);
  Family(out, "lattice_cluster_engine_call_seconds", "histogram", "Time from sending a call to its answer.");
  std::uint64_t cumulative = 0;
  for (std::size_t i = 0; i + 1 < EngineStats::kLatencyBuckets; ++i) {
    cumulative += e.latency[i];
    const std::uint64_t us = EngineStats::kLatencyBoundsUs[i];
    AppendFormat(out, "lattice_cluster_engine_call_seconds_bucket{le=\"%llu.%06llu\"} %llu\n",
                 static_cast<unsigned long long>(us / 1000000), static_cast<unsigned long long>(us % 1000000),
                 static_cast<unsigned long long>(cumulative));
  }
  cumulative += e.latency[EngineStats::kLatencyBuckets - 1];
  Sample(out, "lattice_cluster_engine_call_seconds_bucket", "{le=\"+Inf\"}", cumulative);
  AppendFormat(out, "lattice_cluster_engine_call_seconds_sum %llu.%06llu\n",
               static_cast<unsigned long long>(e.latencySumUs / 1000000),
               static_cast<unsigned long long>(e.latencySumUs % 1000000));
  Sample(out, "lattice_cluster_engine_call_seconds_count", "", cumulative);
  Family(out, "lattice_cluster_engine_redirects_total", "counter",
         "MOVED and ASK redirections followed, and TRYAGAIN or CLUSTERDOWN answers retried.");
  Sample(out, "lattice_cluster_engine_redirects_total", "{kind=\"redirect\"}", e.redirects);
  Sample(out, "lattice_cluster_engine_redirects_total", "{kind=\"retry\"}", e.retries);
  Family(out, "lattice_cluster_slot_map_refreshes_total", "counter", "Slot maps read from the cluster.");
  Sample(out, "lattice_cluster_slot_map_refreshes_total", "", e.slotMapRefreshes);
  Family(out, "lattice_cluster_engine_bytes_total", "counter", "Bytes sent to and received from the cluster engine.");
  Sample(out, "lattice_cluster_engine_bytes_total", "{direction=\"sent\"}", e.bytesSent);
  Sample(out, "lattice_cluster_engine_bytes_total", "{direction=\"received\"}", e.bytesReceived);
  Family(out, "lattice_cluster_requests_asked_total", "counter", "Requests whose registry work went to the engine.");
  Sample(out, "lattice_cluster_requests_asked_total", "", asked);
  Family(out, "lattice_cluster_degraded_answers_total", "counter",
         "Requests answered from this node's registry alone, by why the engine did not answer.");
  Sample(out, "lattice_cluster_degraded_answers_total", "{reason=\"not_ready\"}", degraded[kNotReady]);
  Sample(out, "lattice_cluster_degraded_answers_total", "{reason=\"timed_out\"}", degraded[kTimedOut]);
  Sample(out, "lattice_cluster_degraded_answers_total", "{reason=\"unreachable\"}", degraded[kUnreachable]);
  Sample(out, "lattice_cluster_degraded_answers_total", "{reason=\"engine_error\"}", degraded[kEngineError]);
  Family(out, "lattice_cluster_inbox_messages_total", "counter",
         "Inbox messages (introductions for another node, one per node and loop pass) sent and received.");
  Sample(out, "lattice_cluster_inbox_messages_total", "{direction=\"sent\"}", inboxSent);
  Sample(out, "lattice_cluster_inbox_messages_total", "{direction=\"received\"}", inboxReceived);
  Sample(out, "lattice_cluster_inbox_messages_total", "{direction=\"malformed\"}", inboxMalformed);
  Family(out, "lattice_cluster_introductions_total", "counter",
         "Introductions to connections on other nodes: forwarded from here; delivered here, or naming a connection "
         "gone.");
  Sample(out, "lattice_cluster_introductions_total", "{result=\"forwarded\"}", forwarded);
  Sample(out, "lattice_cluster_introductions_total", "{result=\"delivered\"}", delivered);
  Sample(out, "lattice_cluster_introductions_total", "{result=\"undeliverable\"}", undeliverable);
  Family(out, "lattice_cluster_unbinds_total", "counter",
         "Closed connections' parts removed from the shared registry, or left to expire (engine unreachable).");
  Sample(out, "lattice_cluster_unbinds_total", "{result=\"sent\"}", unbindsSent);
  Sample(out, "lattice_cluster_unbinds_total", "{result=\"lost\"}", unbindsLost);
  Family(out, "lattice_cluster_touches_total", "counter",
         "Parts of records bound here but not announced again, extended in the shared registry; or not sent "
         "(engine busy or down), to be tried again.");
  Sample(out, "lattice_cluster_touches_total", "{result=\"sent\"}", touchesSent);
  Sample(out, "lattice_cluster_touches_total", "{result=\"lost\"}", touchesLost);
  Family(out, "lattice_cluster_nodes_live", "gauge", "Tracker nodes whose heartbeat is current, this one included.");
  Sample(out, "lattice_cluster_nodes_live", "", nodes.LiveNodes());
  Family(out, "lattice_cluster_heartbeats_total", "counter", "Heartbeats of this node answered by the engine.");
  Sample(out, "lattice_cluster_heartbeats_total", "", heartbeats);
}

}  // namespace lattice::cluster
