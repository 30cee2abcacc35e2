#include "app/run_tracker.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/cluster_option.h"
#include "app/limit_options.h"
#include "app/metrics_option.h"
#include "app/service_runner.h"
#include "app/version.h"
#include "log/log.h"
#include "log/loop_clock.h"
#include "net/event_loop.h"
#include "net/listening_sockets.h"
#include "net/metrics_server.h"
#include "platform/process_control.h"
#include "platform/socket_api.h"

namespace lattice {

std::wstring PortOption(const ArgsCollector& args) {
  std::vector<std::wstring> p = args.Get(L"p");
  return p.size() >= 2 ? p[1] : L"3000";
}

std::int32_t MtuOption(const ArgsCollector& args) {
  std::vector<std::wstring> mtu = args.Get(L"mtu");
  return mtu.empty() ? 0 : ParseOptionInteger(mtu.back());
}

std::string IoBackendOption(const ArgsCollector& args) {
  std::vector<std::wstring> words = args.Get(L"io-backend");
  std::wstring name;
  if (words.size() >= 2) {
    name = words[1];
  } else if (const char* fromEnvironment = std::getenv("LATTICE_IO_BACKEND")) {
    return fromEnvironment;
  }
  // Backend names are plain ASCII; anything else names none of them.
  std::string narrow;
  for (wchar_t c : name) narrow += c < 0x80 ? static_cast<char>(c) : '?';
  return narrow;
}

std::uint32_t RunTracker(std::shared_ptr<const ArgsCollector> args, std::atomic<std::int32_t>& stopFlag) {
  const std::wstring port = PortOption(*args);
  // Large (the selection's random pool, the tables), so not on the stack.
  auto tracker = std::make_unique<Tracker>();
  tracker->limits = LimitOptions(*args);
  cluster::ClusterSetup clusterSetup;
  std::string clusterError;
  const bool clusterUsable = ClusterOption(*args, clusterSetup, clusterError);
  // Before the banner: a stop request from here on sets the flag rather
  // than ending the process with the default action.
  platform::InstallStopHandler(&stopFlag);
  const std::uint64_t descriptors = platform::RaiseDescriptorLimit();
  platform::StartNetworking();

  // From the banner on, output goes through the log's writer thread, so that
  // a standard output nobody reads stalls nothing, the banner included.
  StartLogWriter();
  char stamp[200];
  const std::int64_t startTime = RefreshLoopClock();
  FormatLocalTime(startTime, stamp, sizeof stamp);
  char banner[400];
  std::snprintf(banner, sizeof banner, "%s start Corvane Lattice tracker version %s, build id %s\n", stamp,
                kTrackerVersion, BuildId());
  PrintUnstamped(banner);
  // Said after the banner, as the other start failures are, and before
  // anything listens.
  if (!clusterUsable) {
    Log("%s", clusterError.c_str());
    platform::StopNetworking();
    StopLogWriter(kLogDrainTime);
    return kExitBadOption;
  }

  // Listening before the tracker's port does, so whoever finds the tracker
  // up finds its metrics too.
  MetricsSetup metrics;
  std::string metricsUrl;
  metrics.listener = OpenMetricsOption(*args, metricsUrl);
  std::vector<platform::SocketHandle> tcpHandles;
  std::vector<platform::SocketHandle> udpHandles;
  OpenListeningSockets(port, false, tcpHandles);
  OpenListeningSockets(port, true, udpHandles);
  if (tcpHandles.empty() || udpHandles.empty()) {
    // The sockets of the other kind are closed too, though the process ends
    // right after, so a service host that keeps running sees them released.
    for (platform::SocketHandle h : tcpHandles) platform::CloseListeningSocket(h);
    for (platform::SocketHandle h : udpHandles) platform::CloseSocket(nullptr, h);
    if (metrics.listener != platform::kInvalidSocket) platform::CloseListeningSocket(metrics.listener);
    StopLogWriter(kLogDrainTime);
    return kExitNoSockets;
  }
  // Told once the tracker is sure to serve, so a failed start says only why.
  if (descriptors != 0) {
    Log("open descriptor limit %llu (each TCP connection takes one)", static_cast<unsigned long long>(descriptors));
  }
  if (metrics.listener != platform::kInvalidSocket) Log("metrics served at %s", metricsUrl.c_str());
  if (clusterSetup.enabled) LogClusterSetup(clusterSetup);
  metrics.facts.version = kTrackerVersion;
  metrics.facts.buildId = BuildId();
  metrics.facts.startTime = startTime;
  LoopOptions loopOptions;
  loopOptions.mtu = MtuOption(*args);
  loopOptions.ioBackend = IoBackendOption(*args);
  if (clusterSetup.enabled) loopOptions.cluster = &clusterSetup;
  const bool loopWorked = RunEventLoop(*tracker, stopFlag, loopOptions, tcpHandles, udpHandles, metrics, NotifyStarted);
  // What the loop did not take over (it failed to start) is closed here.
  for (platform::SocketHandle h : tcpHandles)
    if (h != platform::kInvalidSocket) platform::CloseListeningSocket(h);
  for (platform::SocketHandle h : udpHandles)
    if (h != platform::kInvalidSocket) platform::CloseSocket(nullptr, h);
  if (metrics.listener != platform::kInvalidSocket) platform::CloseListeningSocket(metrics.listener);
  platform::StopNetworking();
  StopLogWriter(kLogDrainTime);
  return loopWorked ? kExitStopped : kExitLoopFailed;
}

}  // namespace lattice
