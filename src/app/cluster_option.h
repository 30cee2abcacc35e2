// The -cluster option and its companions, read into a ClusterSetup.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "app/args_collector.h"
#include "cluster/cluster_setup.h"

namespace lattice {

inline constexpr std::size_t kMaxClusterSeeds = 64;
inline constexpr std::size_t kMaxClusterNodeIdLength = 64;

// What the cluster options draw on besides the command line.
struct ClusterEnvironment {
  const char* password = nullptr;  // LATTICE_REDIS_PASSWORD; null or empty for none
  std::string hostName;            // for the default node id
};

// HOST:PORT[,HOST:PORT...]: an IPv4 address or host name, or [IPv6]:PORT,
// each port 1 to 65535, no empty entry, at most kMaxClusterSeeds. False with
// the reason in error.
bool ParseClusterSeeds(const std::string& text, std::vector<cluster::EngineAddress>& out, std::string& error);

// Without -cluster: true, with setup left disabled and no other option read.
// With it: true and setup filled, or false with error holding the one line
// that says what is wrong.
bool ReadClusterOptions(const ArgsCollector& args, const ClusterEnvironment& environment,
                        cluster::ClusterSetup& setup, std::string& error);

// ReadClusterOptions on this process's environment and host name.
bool ClusterOption(const ArgsCollector& args, cluster::ClusterSetup& setup, std::string& error);

// One log line with what an enabled setup asks for, the password left out.
void LogClusterSetup(const cluster::ClusterSetup& setup);

}  // namespace lattice
