// The engine client against a real Redis Cluster on loopback (3 primaries,
// 1 replica each), made by scripts/cluster_up.sh and stopped by its pids.
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "engine_harness.h"

namespace lattice::cluster::test {
namespace {

struct Primary {
  std::string id;
  int port = 0;
  std::vector<std::pair<int, int>> ranges;
  std::string replicaOf;  // for a replica: its primary's id
};

// CLUSTER NODES as one node sees it.
std::vector<Primary> Nodes(int port) {
  std::vector<Primary> out;
  std::istringstream lines(Cli(port, "cluster nodes"));
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    Primary p;
    std::string address, flags, master, ping, pong, epoch, state, slots;
    words >> p.id >> address >> flags >> master >> ping >> pong >> epoch >> state;
    p.port = std::atoi(address.substr(address.find(':') + 1).c_str());
    if (flags.find("slave") != std::string::npos) p.replicaOf = master;
    while (words >> slots) {
      if (slots.front() == '[') continue;  // a slot being migrated
      const std::size_t dash = slots.find('-');
      const int first = std::atoi(slots.c_str());
      p.ranges.emplace_back(first, dash == std::string::npos ? first : std::atoi(slots.c_str() + dash + 1));
    }
    out.push_back(p);
  }
  return out;
}

bool PortFree(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool free = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(fd);
  return free;
}

// SIGSTOP lands when the process is next scheduled: until then it may
// still answer.
void Freeze(int pid) {
  ASSERT_EQ(kill(pid, SIGSTOP), 0);
  for (int i = 0; i < 200; ++i) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    for (int f = 0; f < 3 && stat >> field; ++f) {
    }
    if (field == "T") return;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  FAIL() << "pid " << pid << " did not stop";
}

class EngineClusterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // Six nodes and their bus ports (+10000), clear of other runs.
    for (base = 31200 + (getpid() % 40) * 20; base < 33000; base += 20) {
      bool free = true;
      for (int i = 0; i < 6 && free; ++i) free = PortFree(base + i) && PortFree(base + 10000 + i);
      if (free) break;
    }
    char folder[] = "/tmp/engine-test.XXXXXX";
    dir = mkdtemp(folder);
    const std::string out = Shell(std::string(LATTICE_SOURCE_DIR) + "/scripts/cluster_up.sh -d " + dir + " -p " +
                                  std::to_string(base) + " -l none 2>&1");
    std::istringstream lines(out);
    std::string kind;
    int port = 0, pid = 0;
    while (lines >> kind)
      if (kind == "redis" && lines >> port >> pid) pids[port] = pid;
    if (pids.size() != 6) std::fprintf(stderr, "cluster_up.sh failed:\n%s\n", out.c_str());
  }
  static void TearDownTestSuite() {
    Shell(std::string(LATTICE_SOURCE_DIR) + "/scripts/cluster_up.sh stop " + dir + " >/dev/null 2>&1");
    Shell("rm -rf " + dir);
  }
  void SetUp() override { ASSERT_EQ(pids.size(), 6u) << "no cluster"; }

  static std::vector<Primary> Primaries() {
    std::vector<Primary> out;
    for (Primary& p : Nodes(base))
      if (p.replicaOf.empty() && !p.ranges.empty()) out.push_back(p);
    return out;
  }
  static std::vector<int> Ports() {
    std::vector<int> out;
    for (auto& [port, pid] : pids) out.push_back(port);
    return out;
  }
  // As cluster_up.sh starts it; its new pid goes where "stop" finds it.
  static void Restart(int port) {
    const std::string d = dir + "/" + std::to_string(port);
    Shell("rm -f " + d + "/redis.pid; redis-server --port " + std::to_string(port) +
          " --bind 127.0.0.1 --cluster-enabled yes --cluster-config-file " + d +
          "/nodes.conf --cluster-node-timeout 5000 --dir " + d +
          " --save '' --appendonly no --daemonize yes --pidfile " + d + "/redis.pid --logfile " + d + "/redis.log");
    for (int i = 0; i < 100 && Cli(port, "ping") != "PONG"; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::ifstream(d + "/redis.pid") >> pids[port];
    std::ofstream(dir + "/pids", std::ios::app) << "redis " << port << " " << pids[port] << "\n";
  }
  // Moves one slot between primaries as a reshard would, in two steps so
  // an ASK can be seen in between; the importing side then takes a new
  // epoch, without which gossip may hand the slot back.
  static void BeginMove(int slot, const Primary& from, const Primary& to) {
    Cli(to.port, "cluster setslot " + std::to_string(slot) + " importing " + from.id);
    Cli(from.port, "cluster setslot " + std::to_string(slot) + " migrating " + to.id);
  }
  static void FinishMove(int slot, const Primary& from, const Primary& to) {
    Cli(to.port, "cluster setslot " + std::to_string(slot) + " node " + to.id);
    Cli(from.port, "cluster setslot " + std::to_string(slot) + " node " + to.id);
    for (int port : Ports()) Cli(port, "cluster setslot " + std::to_string(slot) + " node " + to.id);
  }
  static std::string KeyOf(const Primary& p, const std::string& prefix) {
    return KeyIn(prefix, static_cast<std::uint16_t>(p.ranges[0].first), static_cast<std::uint16_t>(p.ranges[0].second));
  }

  static inline std::string dir;
  static inline int base = 0;
  static inline std::map<int, int> pids;
};

// Keys untagged, tagged, with an empty tag (the whole key counts) and with
// bytes outside ASCII, against the cluster's own CLUSTER KEYSLOT; and each
// primary's keys answered by it without a redirection.
TEST_F(EngineClusterTest, SlotsAndRoutingMatchTheCluster) {
  Harness h;
  h.Start(Seeds({base}));
  ASSERT_TRUE(h.RunUntil([&] { return h.client->Ready(); }, 5000));
  EXPECT_EQ(h.client->PrimariesKnown(), 3u);
  for (const std::string key : {"", "a", "foo", "{user1000}.following", "{user1000}.followers", "foo{}{bar}",
                                "foo{{bar}}zap", "{}x", "x{y", "\xff\xfe{\x80}", "123456789"}) {
    const Result r = h.Ask(key, {"CLUSTER", "KEYSLOT", key});
    ASSERT_EQ(r.outcome, CallOutcome::Replied) << key;
    EXPECT_EQ(r.integer, KeySlot(key)) << key;
  }
  EXPECT_EQ(KeySlot("{user1000}.a"), KeySlot("user1000"));
  for (const Primary& p : Primaries()) {
    for (int i = 0; i < 20; ++i) {
      const std::string key = KeyIn("route" + std::to_string(p.port) + "-" + std::to_string(i) + "-",
                                    static_cast<std::uint16_t>(p.ranges[0].first),
                                    static_cast<std::uint16_t>(p.ranges[0].second));
      EXPECT_EQ(h.Ask(key, {"SET", key, "v" + key}).text, "OK");
      EXPECT_EQ(h.Ask(key, {"GET", key}).text, "v" + key);
    }
  }
  EXPECT_EQ(h.client->Stats().redirects, 0u);
  EXPECT_GT(h.client->Stats().latency[0] + h.client->Stats().latency[1] + h.client->Stats().latency[2], 0u);
}

// A slot half moved answers ASK: the client follows it each time without
// taking it into the map. Once moved, MOVED sends the call on, and later
// calls go straight to the new owner.
TEST_F(EngineClusterTest, FollowsAskAndMoved) {
  Harness h;
  h.Start(Seeds({base}));
  ASSERT_TRUE(h.RunUntil([&] { return h.client->Ready(); }, 5000));
  const std::vector<Primary> primaries = Primaries();
  const Primary& from = primaries[0];
  const Primary& to = primaries[1];
  const std::string key = "{" + KeyOf(from, "moving-") + "}";
  const int slot = KeySlot(key);
  ASSERT_EQ(Cli(from.port, "cluster countkeysinslot " + std::to_string(slot)), "0");
  BeginMove(slot, from, to);
  for (int i = 0; i < 2; ++i) {
    const std::uint64_t before = h.client->Stats().redirects;
    EXPECT_EQ(h.Ask(key, {"SET", key + std::to_string(i), "x"}).text, "OK");
    EXPECT_EQ(h.client->Stats().redirects, before + 1) << "an ASK taken for a move, or not followed";
  }
  EXPECT_EQ(Cli(to.port, "cluster countkeysinslot " + std::to_string(slot)), "2");
  FinishMove(slot, from, to);
  const std::uint64_t before = h.client->Stats().redirects;
  EXPECT_EQ(h.Ask(key, {"GET", key + "0"}).text, "x");
  EXPECT_EQ(h.client->Stats().redirects, before + 1);
  EXPECT_EQ(h.Ask(key, {"GET", key + "1"}).text, "x");
  EXPECT_EQ(h.client->Stats().redirects, before + 1) << "MOVED did not update the map";
  // Back, emptied, for the tests after.
  Cli(to.port, "del " + key + "0 " + key + "1");
  BeginMove(slot, to, from);
  FinishMove(slot, to, from);
}

// A frozen primary: its calls time out on time while the other primaries
// answer and no pass of the loop is held up. Thawed, it answers again.
TEST_F(EngineClusterTest, FrozenPrimaryTimesOutOthersAnswer) {
  Harness h;
  EngineOptions options = Seeds({base});
  options.deadlineMs = 150;
  h.Start(options);
  ASSERT_TRUE(h.RunUntil([&] { return h.client->Ready(); }, 5000));
  const std::vector<Primary> primaries = Primaries();
  const Primary& frozen = primaries[2];
  Freeze(pids[frozen.port]);
  std::vector<std::uint64_t> toFrozen, toOthers;
  const std::int64_t thaw = SteadyMilliseconds() + 800;
  while (SteadyMilliseconds() < thaw) {
    // Calls close to the thaw may rightly be answered in time.
    const bool late = SteadyMilliseconds() > thaw - options.deadlineMs - 20;
    for (const Primary& p : primaries) {
      const std::string key = KeyOf(p, "frozen-");
      const std::uint64_t c = h.Call(key, {"GET", key});
      if (c != 0 && &p != &frozen) toOthers.push_back(c);
      if (c != 0 && &p == &frozen && !late) toFrozen.push_back(c);
    }
    h.Pass(10);
  }
  kill(pids[frozen.port], SIGCONT);
  ASSERT_TRUE(h.RunUntil([&] { return h.client->InFlight() == 0; }, 2000));
  ASSERT_GT(toFrozen.size(), 10u);
  for (std::uint64_t c : toFrozen) {
    EXPECT_EQ(h.results[c].outcome, CallOutcome::TimedOut);
    EXPECT_LE(h.results[c].endMs - h.results[c].startMs, options.deadlineMs + 25);
    EXPECT_GE(h.results[c].endMs - h.results[c].startMs, options.deadlineMs);
  }
  for (std::uint64_t c : toOthers) EXPECT_EQ(h.results[c].outcome, CallOutcome::Replied);
  EXPECT_LT(h.longestPassMs, 20);
  const std::string key = KeyOf(frozen, "thawed-");
  EXPECT_EQ(h.Ask(key, {"SET", key, "1"}).text, "OK");
}

// A primary killed under calls: they end Unreachable, not at their deadline;
// its slots are refused while it is down; restarted, it serves again.
TEST_F(EngineClusterTest, KilledPrimaryUnreachableThenBack) {
  Harness h;
  EngineOptions options = Seeds({base});
  options.deadlineMs = 3000;
  h.Start(options);
  ASSERT_TRUE(h.RunUntil([&] { return h.client->Ready(); }, 5000));
  const Primary victim = Primaries()[1];
  const std::string key = KeyOf(victim, "killed-");
  // Stopped first, so the calls are surely out and unanswered when it dies.
  Freeze(pids[victim.port]);
  std::vector<std::uint64_t> owed;
  for (int i = 0; i < 5; ++i) owed.push_back(h.Call(key, {"GET", key}));
  h.Pass(10);
  const std::int64_t killed = SteadyMilliseconds();
  ASSERT_EQ(kill(pids[victim.port], SIGKILL), 0);
  ASSERT_TRUE(h.RunUntil([&] { return h.client->InFlight() == 0; }, 2000));
  for (std::uint64_t c : owed) {
    ASSERT_NE(c, 0u);
    EXPECT_EQ(h.results[c].outcome, CallOutcome::Unreachable);
    EXPECT_LT(h.results[c].endMs - killed, 500);
  }
  EXPECT_EQ(h.Call(key, {"GET", key}), 0u) << "a call taken for a node that is down";
  EXPECT_FALSE(h.client->Ready());
  h.RunUntil([] { return false; }, 300);
  Restart(victim.port);
  const Result back = h.Ask(key, {"SET", key, "back"}, 8000);
  EXPECT_EQ(back.outcome, CallOutcome::Replied);
  EXPECT_EQ(back.text, "OK");
  EXPECT_GT(h.client->Stats().connectsFailed, 0u);
  EXPECT_LT(h.longestPassMs, 20);
}

// Sharded channels on two primaries get what is published to them; when a
// channel's slot moves, Redis drops the subscription and the client takes
// it up on the new owner.
TEST_F(EngineClusterTest, ShardedSubscriptionsFollowTheirSlot) {
  Harness h;
  h.Start(Seeds({base}));
  const std::vector<Primary> primaries = Primaries();
  const std::string near = KeyOf(primaries[0], "chan-");
  const std::string far = KeyOf(primaries[1], "chan-");
  h.client->Subscribe(near);
  h.client->Subscribe(far);
  ASSERT_TRUE(h.RunUntil([&] { return h.client->Ready(); }, 5000));
  auto publish = [&](const std::string& channel, const std::string& payload) {
    // SPUBLISH answers how many subscribers got it: 0 until subscribed.
    return h.RunUntil([&] { return h.Ask(channel, {"SPUBLISH", channel, payload}).integer == 1; }, 3000);
  };
  ASSERT_TRUE(publish(near, "one"));
  ASSERT_TRUE(publish(far, std::string("two\0bytes", 9)));
  ASSERT_TRUE(h.RunUntil([&] { return h.messages.size() >= 2; }, 1000));
  // Two links: no order between them.
  std::vector<std::pair<std::string, std::string>> want = {{near, "one"}, {far, std::string("two\0bytes", 9)}};
  std::sort(want.begin(), want.end());
  std::sort(h.messages.begin(), h.messages.end());
  EXPECT_EQ(h.messages, want);

  const int slot = KeySlot(near);
  BeginMove(slot, primaries[0], primaries[2]);
  FinishMove(slot, primaries[0], primaries[2]);
  h.messages.clear();
  ASSERT_TRUE(publish(near, "three"));
  ASSERT_TRUE(h.RunUntil([&] { return !h.messages.empty(); }, 1000));
  EXPECT_EQ(h.messages.back(), std::make_pair(near, std::string("three")));
  BeginMove(slot, primaries[2], primaries[0]);
  FinishMove(slot, primaries[2], primaries[0]);
}

// A primary that dies for good: after the cluster fails it over, the map
// names its replica and its slots are served again.
TEST_F(EngineClusterTest, FailoverServedByReplica) {
  for (int port : Ports()) Cli(port, "config set cluster-node-timeout 1000");
  Harness h;
  h.Start(Seeds({base}));
  ASSERT_TRUE(h.RunUntil([&] { return h.client->Ready(); }, 5000));
  const Primary victim = Primaries()[0];
  const std::string key = KeyOf(victim, "failover-");
  // A replica takes over only once its first sync is done.
  for (const Primary& n : Nodes(base)) {
    if (n.replicaOf != victim.id) continue;
    for (int i = 0; i < 200 && Cli(n.port, "info replication").find("master_link_status:up") == std::string::npos; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_EQ(kill(pids[victim.port], SIGKILL), 0);
  // Calls before the takeover fail (Unreachable, refused, CLUSTERDOWN).
  const std::int64_t killed = SteadyMilliseconds();
  EXPECT_TRUE(h.RunUntil([&] { return h.Ask(key, {"SET", key, "after"}, 500).text == "OK"; }, 15000));
  std::printf("served again %lld ms after the kill\n", static_cast<long long>(SteadyMilliseconds() - killed));
  // The nodes learn of the takeover one by one; the map follows them.
  EXPECT_TRUE(h.RunUntil([&] { return h.client->Ready() && h.client->PrimariesKnown() == 3; }, 5000))
      << h.client->PrimariesConnected() << " of " << h.client->PrimariesKnown() << " primaries up after "
      << h.client->Stats().slotMapRefreshes << " refreshes\n"
      << Cli(base, "cluster nodes");
  EXPECT_LT(h.longestPassMs, 20);
  Restart(victim.port);  // it comes back as a replica
  for (int port : Ports()) Cli(port, "config set cluster-node-timeout 5000");
}

// No engine at start: calls are refused and the loop runs on. Once a node
// that wants a password comes up, the client authenticates (with the
// password alone, or a user and password) and serves; a wrong password is
// never taken for a connection up, and is tried again with back-off.
TEST(EngineAuthTest, WaitsForTheEngineAndAuthenticates) {
  int port = 33100 + (getpid() % 40) * 3;
  while (!PortFree(port) || !PortFree(port + 10000)) ++port;
  char folder[] = "/tmp/engine-auth.XXXXXX";
  const std::string dir = mkdtemp(folder);
  EngineOptions options = Seeds({port});
  options.password = "s3cret";
  Harness good, bad, user;
  good.Start(options);
  options.password = "wrong";
  bad.Start(options);
  options.user = "tracker";
  options.password = "pw2";
  user.Start(options);
  auto passAll = [&](int ms) {
    for (const std::int64_t end = SteadyMilliseconds() + ms; SteadyMilliseconds() < end;) {
      for (Harness* h : {&good, &bad, &user}) h->Pass(5);
    }
  };
  passAll(300);
  EXPECT_EQ(good.Call("k", {"GET", "k"}), 0u);
  EXPECT_EQ(good.client->Stats().connectsMade, 0u);
  EXPECT_GT(good.client->Stats().connectsFailed, 0u);

  Shell("redis-server --port " + std::to_string(port) + " --bind 127.0.0.1 --cluster-enabled yes --cluster-config-file " +
        dir + "/nodes.conf --requirepass s3cret --dir " + dir +
        " --save '' --appendonly no --daemonize yes --pidfile " + dir + "/redis.pid --logfile " + dir + "/redis.log");
  const std::string cli = "redis-cli -p " + std::to_string(port) + " -a s3cret --no-auth-warning ";
  for (int i = 0; i < 100 && Shell(cli + "ping") != "PONG"; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  int pid = 0;
  std::ifstream(dir + "/redis.pid") >> pid;
  ASSERT_GT(pid, 0);
  Shell(cli + "cluster addslotsrange 0 16383");
  Shell(cli + "acl setuser tracker on '>pw2' '~*' '&*' '+@all'");
  for (int i = 0; i < 100 && Shell(cli + "cluster info").find("cluster_state:ok") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

  const std::uint64_t badConnectsBefore = bad.client->Stats().connectsMade;
  passAll(1500);
  for (Harness* h : {&good, &user}) {
    EXPECT_TRUE(h->client->Ready());
    EXPECT_EQ(h->Ask("k", {"SET", "k", "v"}).text, "OK");
  }
  EXPECT_FALSE(bad.client->Ready());
  EXPECT_EQ(bad.Call("k", {"GET", "k"}), 0u);
  // Connected and refused again and again, but backing off: 100, 200, 400,
  // 800 ms apart (give or take a fifth).
  const std::uint64_t badConnects = bad.client->Stats().connectsMade - badConnectsBefore;
  EXPECT_GE(badConnects, 1u);
  EXPECT_LE(badConnects, 5u);
  for (Harness* h : {&good, &bad, &user}) EXPECT_LT(h->longestPassMs, 20);
  kill(pid, SIGTERM);
  for (int i = 0; i < 100 && kill(pid, 0) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  Shell("rm -rf " + dir);
}

}  // namespace
}  // namespace lattice::cluster::test
