// The cluster options: the seed list, the password's sources, the bounds and
// the default node id.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "app/cluster_option.h"

namespace lattice {
namespace {

using cluster::ClusterSetup;

ArgsCollector Collect(const std::wstring& commandLine) {
  std::vector<std::wstring> words = SplitCommandLine(L"tracker " + commandLine);
  return ArgsCollector(static_cast<int>(words.size()), words);
}

// The error, or "" when the options were accepted.
std::string Read(const std::wstring& commandLine, ClusterSetup& setup, const char* password = nullptr,
                 const std::string& host = "host") {
  std::string error;
  const bool accepted = ReadClusterOptions(Collect(commandLine), {password, host}, setup, error);
  EXPECT_EQ(accepted, error.empty()) << error;
  return accepted ? "" : error;
}

TEST(ClusterOption, SeedsOfEachFormAreSplitIntoHostAndPort) {
  std::vector<cluster::EngineAddress> seeds;
  std::string error;
  ASSERT_TRUE(ParseClusterSeeds("10.0.0.1:7000,[fe80::1:2]:7001,redis-a.example:65535,[::ffff:1.2.3.4]:1", seeds,
                                error))
      << error;
  ASSERT_EQ(seeds.size(), 4u);
  EXPECT_EQ(seeds[0].host + "|" + std::to_string(seeds[0].port), "10.0.0.1|7000");
  EXPECT_EQ(seeds[1].host + "|" + std::to_string(seeds[1].port), "fe80::1:2|7001");
  EXPECT_EQ(seeds[2].host + "|" + std::to_string(seeds[2].port), "redis-a.example|65535");
  EXPECT_EQ(seeds[3].host + "|" + std::to_string(seeds[3].port), "::ffff:1.2.3.4|1");

  for (const char* bad : {"10.0.0.1", "10.0.0.1:", "10.0.0.1:0", "10.0.0.1:65536", "10.0.0.1:70000x", ":7000",
                          "a:1,,b:2", "a:1,", ",a:1", "", "::1:7000", "[::1]", "[::1]7000", "[]:7000", "[x::1]:7000",
                          "[::1:7000", "256.0.0.1:7000", "1.2.3:7000", "host name:7000", "a:+1", "a:-1"}) {
    EXPECT_FALSE(ParseClusterSeeds(bad, seeds, error)) << bad;
  }
  std::string many;
  for (std::size_t i = 0; i <= kMaxClusterSeeds; ++i) many.append(i ? ",h:" : "h:").append(std::to_string(i + 1));
  EXPECT_FALSE(ParseClusterSeeds(many, seeds, error));
  EXPECT_TRUE(ParseClusterSeeds(many.substr(many.find(',') + 1), seeds, error)) << error;
  EXPECT_EQ(seeds.size(), kMaxClusterSeeds);
}

TEST(ClusterOption, AbsentLeavesEverythingOffAndPresentTakesDefaultsAndBounds) {
  ClusterSetup setup;
  // Without -cluster the companions are not even looked at.
  EXPECT_EQ(Read(L"-cluster-deadline-ms 0 -cluster-password x -cluster-node a:b", setup), "");
  EXPECT_FALSE(setup.enabled);
  EXPECT_TRUE(setup.engine.seeds.empty());

  EXPECT_EQ(Read(L"-cluster h:1", setup), "");
  EXPECT_TRUE(setup.enabled);
  EXPECT_EQ(setup.engine.deadlineMs, 200);
  EXPECT_EQ(setup.engine.maxInFlight, 4096u);
  EXPECT_EQ(setup.recordTtlMs, 300000);
  EXPECT_EQ(setup.inboxDelayMs, 5);
  EXPECT_EQ(setup.nodeId, "host-3000");
  EXPECT_EQ(setup.engine.password, "");

  EXPECT_EQ(Read(L"-cluster h:1 -cluster-deadline-ms 10000 -cluster-max-calls 1000000 -cluster-ttl-ms 10000 "
                 L"-cluster-inbox-delay-ms 0",
                 setup),
            "");
  EXPECT_EQ(setup.engine.deadlineMs, 10000);
  EXPECT_EQ(setup.engine.maxInFlight, 1000000u);
  EXPECT_EQ(setup.recordTtlMs, 10000);
  EXPECT_EQ(setup.inboxDelayMs, 0);
  for (const wchar_t* bad : {L"-cluster-deadline-ms 10001", L"-cluster-deadline-ms 0", L"-cluster-max-calls 1000001",
                             L"-cluster-max-calls 0", L"-cluster-ttl-ms 9999", L"-cluster-ttl-ms 86400001",
                             L"-cluster-inbox-delay-ms 1001",
                             L"-cluster-deadline-ms 5ms", L"-cluster-deadline-ms", L"-cluster-max-calls 1 2"}) {
    EXPECT_NE(Read(std::wstring(L"-cluster h:1 ") + bad, setup), "") << bad;
  }
}

TEST(ClusterOption, NodeIdIsCheckedOrMadeFromHostAndPort) {
  ClusterSetup setup;
  EXPECT_EQ(Read(L"-cluster h:1 -cluster-node A.b_c-9", setup), "");
  EXPECT_EQ(setup.nodeId, "A.b_c-9");
  EXPECT_EQ(Read(L"-cluster h:1 -cluster-node " + std::wstring(64, L'n'), setup), "");
  for (const std::wstring& bad : {std::wstring(65, L'n'), std::wstring(L"a:b"), std::wstring(L"a,b")}) {
    EXPECT_NE(Read(L"-cluster h:1 -cluster-node " + bad, setup), "") << std::string(bad.begin(), bad.end());
  }
  EXPECT_EQ(Read(L"-p 4000 -cluster h:1", setup, nullptr, "my host:01"), "");
  EXPECT_EQ(setup.nodeId, "my-host-01-4000");
  // A long name is cut, the port kept, so two nodes on one machine differ.
  EXPECT_EQ(Read(L"-p 4000 -cluster h:1", setup, nullptr, std::string(80, 'x')), "");
  EXPECT_EQ(setup.nodeId, std::string(59, 'x') + "-4000");
  EXPECT_EQ(Read(L"-p " + std::wstring(70, L'p') + L" -cluster h:1", setup), "");  // a port given by name
  EXPECT_EQ(setup.nodeId, "-" + std::string(63, 'p'));
}

TEST(ClusterOption, PasswordComesFromTheFileOrTheEnvironmentOnly) {
  ClusterSetup setup;
  EXPECT_EQ(Read(L"-cluster h:1", setup, "from-env"), "");
  EXPECT_EQ(setup.engine.password, "from-env");
  EXPECT_NE(Read(L"-cluster h:1 -cluster-password typed", setup, "from-env"), "");
  EXPECT_NE(Read(L"-cluster h:1 -cluster-user lattice", setup), "");  // a user without a password

  const std::filesystem::path file = std::filesystem::temp_directory_path() / "lattice_cluster_option_test.pw";
  const std::wstring fileOption = L"-cluster h:1 -cluster-user lattice -cluster-password-file \"" + file.wstring() + L"\"";
  std::ofstream(file, std::ios::binary) << "pass word\r\nsecond line\n";
  EXPECT_EQ(Read(fileOption, setup, "from-env"), "");  // the option outranks the environment
  EXPECT_EQ(setup.engine.password, "pass word");
  EXPECT_EQ(setup.engine.user, "lattice");
  std::ofstream(file, std::ios::binary) << "\r\nsecond line\n";
  EXPECT_NE(Read(fileOption, setup), "");
  std::filesystem::remove(file);
  EXPECT_NE(Read(fileOption, setup, "from-env"), "");  // unreadable: no falling back
}

}  // namespace
}  // namespace lattice
