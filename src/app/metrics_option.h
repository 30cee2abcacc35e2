// The -metrics option: where the metrics endpoint listens.
#pragma once

#include <string>

#include "app/args_collector.h"
#include "platform/io_port.h"

namespace lattice {

struct MetricsAddress {
  std::wstring host;
  std::wstring port;
};

// ADDRESS:PORT, [IPv6 ADDRESS]:PORT, or a bare PORT on 127.0.0.1, so the
// endpoint is on loopback unless told otherwise. False when the text is none
// of these or the port is not 1 to 65535.
bool ParseMetricsAddress(const std::wstring& text, MetricsAddress& out);

// The listening socket for -metrics, and the page's URL for the log, or
// kInvalidSocket when the option is absent or unusable; each failure is
// logged and the tracker runs on without the endpoint.
platform::SocketHandle OpenMetricsOption(const ArgsCollector& args, std::string& url);

}  // namespace lattice
