#include "app/cluster_option.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/run_tracker.h"
#include "log/log.h"
#include "platform/host_name.h"

namespace lattice {
namespace {

constexpr std::size_t kMaxHostLength = 253;  // the longest DNS name

// Option values that matter here are ASCII; anything else fails the checks.
std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out.push_back(c > 0 && c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

// Quoted for a message; cut, as a log line too long is dropped whole.
std::string Quote(const std::string& text) {
  return "'" + (text.size() > 100 ? text.substr(0, 100) + "..." : text) + "'";
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHex(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool IsIdChar(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' || c == '_' || c == '-';
}

// Digits only, no sign or spaces, and within [low, high].
bool ParseBounded(const std::string& text, std::int64_t low, std::int64_t high, std::int64_t& out) {
  if (text.empty() || text.size() > 12) return false;
  std::int64_t value = 0;
  for (char c : text) {
    if (!IsDigit(c)) return false;
    value = value * 10 + (c - '0');
  }
  if (value < low || value > high) return false;
  out = value;
  return true;
}

bool IsDottedQuad(const std::string& text) {
  std::size_t start = 0;
  for (int part = 0; part < 4; ++part) {
    const std::size_t end = part == 3 ? text.size() : text.find('.', start);
    std::int64_t octet;
    if (end == std::string::npos || !ParseBounded(text.substr(start, end - start), 0, 255, octet)) return false;
    start = end + 1;
  }
  return true;
}

// The engine client resolves names itself; this only keeps out what could
// never be one.
const char* HostProblem(const std::string& host, bool bracketed) {
  if (host.empty() || host.size() > kMaxHostLength) return "no host, or one too long";
  if (bracketed) {
    std::size_t colons = 0;
    for (char c : host) {
      if (c == ':') ++colons;
      else if (!IsHex(c) && c != '.') return "not an IPv6 address inside the brackets";
    }
    return colons >= 2 ? nullptr : "not an IPv6 address inside the brackets";
  }
  bool numeric = true;
  for (char c : host) {
    if (!IsIdChar(c)) return "not an IPv4 address or host name";
    numeric = numeric && (IsDigit(c) || c == '.');
  }
  return numeric && !IsDottedQuad(host) ? "not an IPv4 address" : nullptr;
}

const char* SeedProblem(const std::string& seed, cluster::EngineAddress& out) {
  std::string host;
  std::string port;
  const bool bracketed = seed[0] == '[';
  if (bracketed) {
    const std::size_t close = seed.find(']');
    if (close == std::string::npos) return "no closing bracket";
    if (close + 1 >= seed.size() || seed[close + 1] != ':') return "no port after the brackets";
    host = seed.substr(1, close - 1);
    port = seed.substr(close + 2);
  } else {
    const std::size_t colon = seed.find(':');
    if (colon == std::string::npos) return "no port";
    // Without brackets an IPv6 address's colons would hide where the port is.
    if (seed.find(':', colon + 1) != std::string::npos) return "an IPv6 address goes in brackets, [ADDRESS]:PORT";
    host = seed.substr(0, colon);
    port = seed.substr(colon + 1);
  }
  if (const char* problem = HostProblem(host, bracketed)) return problem;
  std::int64_t number;
  if (!ParseBounded(port, 1, 65535, number)) return "the port is not 1 to 65535";
  out.host = host;
  out.port = static_cast<std::uint16_t>(number);
  return nullptr;
}

// The option's single value; false, with why, when it is missing or
// followed by more words.
bool OneValue(const ArgsCollector& args, const wchar_t* name, const char* shape, std::string& value,
              std::string& error) {
  const std::vector<std::wstring> words = args.Get(name);
  if (words.size() == 2) {
    value = Narrow(words[1]);
    return true;
  }
  error = "cluster: -" + Narrow(name) + (words.size() < 2 ? " needs a value: " : " takes one word: ") + shape;
  return false;
}

bool ReadNumber(const ArgsCollector& args, const wchar_t* name, std::int64_t low, std::int64_t high,
                std::int64_t& field, std::string& error) {
  if (args.Get(name).empty()) return true;
  const std::string range = "a whole number from " + std::to_string(low) + " to " + std::to_string(high);
  std::string text;
  if (!OneValue(args, name, range.c_str(), text, error)) return false;
  if (ParseBounded(text, low, high, field)) return true;
  error = "cluster: -" + Narrow(name) + " takes " + range + ", not " + Quote(text);
  return false;
}

// The first line, without its line end; false when there is none to read.
bool ReadPasswordFile(const std::wstring& path, std::string& password, std::string& error) {
  const std::filesystem::path file(path);
  std::error_code ignored;
  std::ifstream in;
  if (!std::filesystem::is_directory(file, ignored)) in.open(file, std::ios::binary);
  if (!in.is_open()) {
    error = "cluster: cannot read the password file " + Quote(Narrow(path));
    return false;
  }
  std::getline(in, password);
  while (!password.empty() && (password.back() == '\r' || password.back() == '\n')) password.pop_back();
  if (in.bad()) {
    error = "cluster: cannot read the password file " + Quote(Narrow(path));
    return false;
  }
  if (password.empty()) {
    error = "cluster: the password file " + Quote(Narrow(path)) + " is empty (its first line is the password)";
    return false;
  }
  return true;
}

bool ReadPassword(const ArgsCollector& args, const ClusterEnvironment& environment, std::string& password,
                  std::string& error) {
  // Anyone on the machine can read a command line; so the option does not
  // exist, and saying so beats connecting without the password meant.
  if (!args.Get(L"cluster-password").empty()) {
    error = "cluster: a password is never taken from the command line; use the LATTICE_REDIS_PASSWORD "
            "environment variable or -cluster-password-file PATH";
    return false;
  }
  const std::vector<std::wstring> file = args.Get(L"cluster-password-file");
  if (!file.empty()) {
    if (file.size() != 2 || file[1].empty()) {
      error = "cluster: -cluster-password-file needs one PATH";
      return false;
    }
    return ReadPasswordFile(file[1], password, error);
  }
  if (environment.password != nullptr) password = environment.password;
  return true;
}

bool ReadUser(const ArgsCollector& args, std::string& user, std::string& error) {
  if (args.Get(L"cluster-user").empty()) return true;
  if (!OneValue(args, L"cluster-user", "NAME", user, error)) return false;
  bool printable = !user.empty();
  for (char c : user) printable = printable && c > ' ' && c < 0x7f;
  if (printable) return true;
  error = "cluster: -cluster-user takes a user name of visible ASCII characters, not " + Quote(user);
  return false;
}

bool IsNodeId(const std::string& id) {
  if (id.empty() || id.size() > kMaxClusterNodeIdLength) return false;
  for (char c : id)
    if (!IsIdChar(c)) return false;
  return true;
}

// The host name and the tracker's port, each character outside the id's set
// made a '-', the host name cut so the whole fits.
std::string DefaultNodeId(const std::string& hostName, const std::string& port) {
  auto clean = [](std::string text) {
    for (char& c : text)
      if (!IsIdChar(c)) c = '-';
    return text;
  };
  std::string host = clean(hostName.empty() ? "node" : hostName);
  std::string suffix = "-";
  suffix += clean(port);
  const std::size_t room = suffix.size() < kMaxClusterNodeIdLength ? kMaxClusterNodeIdLength - suffix.size() : 0;
  if (host.size() > room) host.resize(room);
  return (host + suffix).substr(0, kMaxClusterNodeIdLength);
}

}  // namespace

bool ParseClusterSeeds(const std::string& text, std::vector<cluster::EngineAddress>& out, std::string& error) {
  out.clear();
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = text.find(',', start);
    const std::string seed = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    if (seed.empty()) {
      error = "cluster: an empty entry in the seed list " + Quote(text);
      return false;
    }
    if (out.size() == kMaxClusterSeeds) {
      error = "cluster: more than " + std::to_string(kMaxClusterSeeds) + " seed nodes in -cluster";
      return false;
    }
    cluster::EngineAddress address;
    if (const char* problem = SeedProblem(seed, address)) {
      error = "cluster: seed " + Quote(seed) + ": " + problem + " (seeds are HOST:PORT or [IPv6]:PORT, comma-separated)";
      return false;
    }
    out.push_back(std::move(address));
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

bool ReadClusterOptions(const ArgsCollector& args, const ClusterEnvironment& environment,
                        cluster::ClusterSetup& setup, std::string& error) {
  setup = cluster::ClusterSetup{};
  if (args.Get(L"cluster").empty()) return true;
  std::string seeds;
  if (!OneValue(args, L"cluster", "HOST:PORT[,HOST:PORT...]", seeds, error) ||
      !ParseClusterSeeds(seeds, setup.engine.seeds, error)) {
    return false;
  }
  if (!ReadPassword(args, environment, setup.engine.password, error) ||
      !ReadUser(args, setup.engine.user, error)) {
    return false;
  }
  if (!setup.engine.user.empty() && setup.engine.password.empty()) {
    error = "cluster: -cluster-user needs a password, from LATTICE_REDIS_PASSWORD or -cluster-password-file";
    return false;
  }
  std::int64_t maxCalls = static_cast<std::int64_t>(setup.engine.maxInFlight);
  if (!ReadNumber(args, L"cluster-deadline-ms", 1, 10000, setup.engine.deadlineMs, error) ||
      !ReadNumber(args, L"cluster-max-calls", 1, 1000000, maxCalls, error) ||
      !ReadNumber(args, L"cluster-ttl-ms", 10000, 86400000, setup.recordTtlMs, error) ||
      !ReadNumber(args, L"cluster-inbox-delay-ms", 0, 1000, setup.inboxDelayMs, error)) {
    return false;
  }
  setup.engine.maxInFlight = static_cast<std::size_t>(maxCalls);
  if (args.Get(L"cluster-node").empty()) {
    setup.nodeId = DefaultNodeId(environment.hostName, Narrow(PortOption(args)));
  } else if (!OneValue(args, L"cluster-node", "ID", setup.nodeId, error)) {
    return false;
  } else if (!IsNodeId(setup.nodeId)) {
    error = "cluster: -cluster-node takes 1 to 64 characters of A-Z a-z 0-9 . _ -, not " + Quote(setup.nodeId);
    return false;
  }
  setup.enabled = true;
  return true;
}

bool ClusterOption(const ArgsCollector& args, cluster::ClusterSetup& setup, std::string& error) {
  setup = cluster::ClusterSetup{};
  if (args.Get(L"cluster").empty()) return true;
  ClusterEnvironment environment;
  environment.password = std::getenv("LATTICE_REDIS_PASSWORD");
  environment.hostName = platform::HostName();
  return ReadClusterOptions(args, environment, setup, error);
}

void LogClusterSetup(const cluster::ClusterSetup& setup) {
  const cluster::EngineOptions& e = setup.engine;
  const std::string authentication = e.password.empty() ? std::string("no password")
                                     : e.user.empty()   ? std::string("a password")
                                                        : "user " + Quote(e.user) + " with a password";
  const cluster::EngineAddress& first = e.seeds.front();
  const bool bracketed = first.host.find(':') != std::string::npos;
  // %llu, not %zu: the Windows C runtime's printf lacks the latter.
  Log("cluster mode: node %s, %llu seed node(s) from %s%s%s:%u, %s, call deadline %lld ms, at most %llu calls "
      "in flight, record ttl %lld ms, inbox delay %lld ms",
      setup.nodeId.c_str(), static_cast<unsigned long long>(e.seeds.size()), bracketed ? "[" : "",
      first.host.c_str(), bracketed ? "]" : "", static_cast<unsigned>(first.port), authentication.c_str(),
      static_cast<long long>(e.deadlineMs), static_cast<unsigned long long>(e.maxInFlight),
      static_cast<long long>(setup.recordTtlMs), static_cast<long long>(setup.inboxDelayMs));
}

}  // namespace lattice
