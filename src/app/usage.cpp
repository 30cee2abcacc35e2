#include "app/usage.h"

#include <cstdio>

#include "app/version.h"
#include "tracker/limits.h"

namespace lattice {

InfoRequest FindInfoRequest(const ArgsCollector& args) {
  if (!args.Get(L"h").empty() || !args.Get(L"-help").empty() || !args.Get(L"?").empty()) return InfoRequest::Help;
  if (!args.Get(L"-version").empty()) return InfoRequest::Version;
  return InfoRequest::None;
}

std::string VersionText() {
  return std::string("corvane-lattice-tracker ") + kTrackerVersion + " (build " + BuildId() + ")\n";
}

std::string UsageText() {
  const Limits d;
  char limits[2048];
  std::snprintf(limits, sizeof limits,
                "  -max-connections N       TCP and uTP connections together (default %llu)\n"
                "  -max-per-address N       connections from one IPv4 address or IPv6 /64 (default %u)\n"
                "  -max-peer-ids N          peer ids announced on one connection (default %u)\n"
                "  -max-la-bytes N          bytes of one la or la_list value (default %u)\n"
                "  -max-per-peer-id N       connections announcing one peer id (default %u)\n"
                "  -max-registry-bytes N    registry bytes of the peer ids one connection announced (default %llu)\n"
                "  -max-pending-utp N       uTP connections without a request yet (default %u)\n"
                "  -pending-utp-timeout S   seconds such a connection may wait when uTP is busy (default %u)\n"
                "  -conn-buffer BYTES       kernel send and receive buffer of a TCP connection (default %u)\n",
                static_cast<unsigned long long>(d.maxConnections), d.maxConnectionsPerAddress,
                d.maxPeerIdsPerConnection, d.maxLocalAddressBytes, d.maxConnectionsPerPeerId,
                static_cast<unsigned long long>(d.maxRegistryBytesPerConnection), d.maxPendingUtpConnections,
                d.pendingUtpTimeout, d.connectionBufferBytes);
  return VersionText() +
         "Usage: corvane-lattice-tracker [options]\n"
         "Serves peer discovery over TCP and uTP on one port until stopped (Ctrl+C, SIGTERM or the service "
         "manager).\n"
         "\n"
         "  -p PORT                  TCP and UDP port (default 3000)\n"
         "  -mtu BYTES               largest uTP datagram, 576 to 65507 (default: the uTP library's)\n"
         "  -s                       run under the service manager (systemd or the Windows service manager)\n"
         "  -sr                      install the service, with -p if given (root or an elevated prompt)\n"
         "  -sd                      remove the service (root or an elevated prompt)\n"
         "  -metrics ADDRESS:PORT    serve Prometheus metrics over HTTP at /metrics (default: off); a bare PORT\n"
         "                           listens on 127.0.0.1, [ADDRESS]:PORT takes an IPv6 address\n"
         "  -io-backend NAME         io_uring or epoll on Linux (default: io_uring where the kernel allows it,\n"
         "                           or the LATTICE_IO_BACKEND environment variable)\n" +
         std::string(limits) +
         "  -cluster HOST:PORT,...   share one registry with other nodes through the Redis Cluster these seed\n"
         "                           nodes belong to ([ADDRESS]:PORT for IPv6; default: off, the tracker runs alone)\n"
         "  -cluster-password-file PATH\n"
         "                           Redis password: the file's first line (default: the LATTICE_REDIS_PASSWORD\n"
         "                           environment variable; never on the command line)\n"
         "  -cluster-user NAME       Redis ACL user to log in as (default: the password alone)\n"
         "  -cluster-node ID         this node's id, 1 to 64 of A-Z a-z 0-9 . _ - (default: HOSTNAME-PORT)\n"
         "  -cluster-deadline-ms N   a Redis call not answered by then is answered locally, 1 to 10000 (default 200)\n"
         "  -cluster-max-calls N     Redis calls in flight at most, 1 to 1000000 (default 4096)\n"
         "  -cluster-ttl-ms N        life of this node's part of a record unless announced again, 10000 to\n"
         "                           86400000 (default 300000)\n"
         "  -cluster-inbox-delay-ms N\n"
         "                           introductions for other nodes gather this long before they are sent, 0 to\n"
         "                           1000 (default 5)\n"
         "  -h, --help               print this text and exit\n"
         "  --version                print the version and build id and exit\n"
         "A limit's value below 1 keeps its default. A cluster option's bad value stops the start (exit code 2).\n";
}

}  // namespace lattice
