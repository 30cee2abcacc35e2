// The load generator's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace loadgen {

struct Options {
  std::string host = "127.0.0.1";
  std::uint16_t port = 3000;
  std::vector<std::uint16_t> ports;  // connection i goes to ports[i mod n]; empty: port alone
  std::uint32_t tcp = 0;             // TCP connections
  std::uint32_t utp = 0;             // uTP connections
  std::uint32_t udpSockets = 0;      // 0: chosen from the uTP count
  std::uint32_t peersPerConn = 1;
  std::uint32_t shareSize = 1;
  std::uint32_t shareBytes = 20;
  std::uint32_t outstanding = 1;     // closed loop: requests in flight per connection
  double rate = 0;                   // > 0: fixed total requests per second
  std::uint32_t rateCap = 64;        // rate mode: most requests in flight per connection
  bool idle = false;                 // hold the connections without requests
  double duration = 5;
  double drain = 5;
  double timeout = 0;                // 0: derived from the other times
  double keepalive = 10;             // re-announce after this long without sending
  double hold = 0;                   // > 0: print marks at the window's edges, wait this long before closing
  std::uint32_t warmupWindow = 16;
  std::uint32_t connectWindow = 256;
  int trackerPid = 0;
  std::string json;
  std::string label;
  std::uint64_t maxErrors = 0;
  std::uint32_t seed = 0;            // 0: random per run
  bool quiet = false;

  // Hostile modes (hostile.h): the mode, and its knobs; 0 picks the mode's default.
  std::string hostile;
  std::uint64_t count = 0;           // SYNs, ids, churn cycles, pipelined bursts
  std::uint32_t clients = 0;         // attacking connections
  std::uint32_t laBytes = 65536;     // "la" and "la_list" of the id-stuffing mode
  std::uint32_t sources = 256;       // SYN flood: source addresses 127.0.1.0 and up
  bool noVictim = false;
  double victimIntervalMs = 10;      // the victim's request interval, per side
  double reportEvery = 0;            // > 0: the victim prints its latency over each such interval
};

// False (after printing why) when the command line is not usable.
bool ParseOptions(int argc, char** argv, Options& options);

}  // namespace loadgen
