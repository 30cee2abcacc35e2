// The command line, the service commands and the service state machine,
// over test doubles of the service manager.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <limits>
#include <thread>
#include <tuple>

#include "app/args_collector.h"
#include "app/limit_options.h"
#include "app/run_tracker.h"
#include "app/service_host.h"
#include "app/service_main.h"
#include "app/service_runner.h"

namespace lattice {
namespace {

using Words = std::vector<std::wstring>;
using platform::ServiceStatus;
using namespace std::chrono_literals;

std::shared_ptr<const ArgsCollector> Args(Words words) {
  return std::make_shared<const ArgsCollector>(static_cast<int>(words.size()), words);
}
ArgsCollector Collect(const std::wstring& commandLine) {
  Words words = SplitCommandLine(commandLine);
  return ArgsCollector(static_cast<int>(words.size()), words);
}

TEST(CommandLine, QuotesGroupAndNothingIsUnescaped) {
  EXPECT_EQ(SplitCommandLine(L"  \"C:\\Program Files\\t.exe\"\t-s  "), (Words{L"C:\\Program Files\\t.exe", L"-s"}));
  EXPECT_EQ(SplitCommandLine(L"\"a\\\"b\" c"), (Words{L"a\\\"b", L"c"}));  // a backslash keeps the quote after it
  EXPECT_EQ(SplitCommandLine(L"\"ab\"cd"), (Words{L"ab", L"cd"}));  // a closing quote ends the word
  EXPECT_EQ(SplitCommandLine(L"x \"\" y"), (Words{L"x", L"", L"y"}));
  EXPECT_EQ(SplitCommandLine(L"a\"b c"), (Words{L"a\"b", L"c"}));
  EXPECT_EQ(SplitCommandLine(L"\"unterminated word"), (Words{L"unterminated word"}));
  EXPECT_TRUE(SplitCommandLine(L" \t ").empty());
}

TEST(CommandLine, OptionListsPortTakesTheFirstValueAndMtuTheLast) {
  ArgsCollector args = Collect(L"prog bare -p 4000 5000 -s -p 6000 --p 5 - ignored -mtu");
  EXPECT_EQ(args.Get(L"p"), (Words{L"p", L"4000", L"5000"}));  // first occurrence wins
  EXPECT_EQ(args.Get(L"s"), (Words{L"s"}));
  EXPECT_EQ(args.Get(L"-p"), (Words{L"-p", L"5"}));
  EXPECT_EQ(args.Get(L"mtu"), (Words{L"mtu"}));
  EXPECT_TRUE(args.Get(L"bare").empty());
  EXPECT_TRUE(args.Get(L"").empty());
  EXPECT_EQ(PortOption(Collect(L"prog")), L"3000");
  EXPECT_EQ(PortOption(Collect(L"prog -p")), L"3000");
  EXPECT_EQ(PortOption(Collect(L"prog -p 4000 5000")), L"4000");
  EXPECT_EQ(PortOption(Collect(L"prog --p 5")), L"3000");
  EXPECT_EQ(MtuOption(Collect(L"prog -mtu")), 0);
  EXPECT_EQ(MtuOption(Collect(L"prog -mtu 1200 1400")), 1400);
  EXPECT_EQ(MtuOption(Collect(L"prog -mtu abc")), 0);
}

// Each bound option sets its own field; a value below 1 keeps the default.
TEST(CommandLine, LimitOptionsSetTheirBoundsAndValuesBelowOneKeepTheDefaults) {
  const Limits set = LimitOptions(Collect(L"x -max-connections 11 -max-per-address 12 -max-peer-ids 13 -max-la-bytes 14 "
                                          L"-max-per-peer-id 15 -max-registry-bytes 16 -max-pending-utp 17 "
                                          L"-pending-utp-timeout 18 -conn-buffer 19"));
  EXPECT_EQ((std::vector<std::uint64_t>{set.maxConnections, set.maxConnectionsPerAddress, set.maxPeerIdsPerConnection,
                                        set.maxLocalAddressBytes, set.maxConnectionsPerPeerId,
                                        set.maxRegistryBytesPerConnection, set.maxPendingUtpConnections,
                                        set.pendingUtpTimeout, set.connectionBufferBytes}),
            (std::vector<std::uint64_t>{11, 12, 13, 14, 15, 16, 17, 18, 19}));
  const Limits kept = LimitOptions(Collect(L"x -max-per-address 0 -max-peer-ids -3 -max-la-bytes"));
  EXPECT_EQ(kept.maxConnectionsPerAddress, Limits{}.maxConnectionsPerAddress);
  EXPECT_EQ(kept.maxPeerIdsPerConnection, Limits{}.maxPeerIdsPerConnection);
  EXPECT_EQ(kept.maxLocalAddressBytes, Limits{}.maxLocalAddressBytes);
}

TEST(CommandLine, IntegersConvertAsTheRuntimeDoes) {
  EXPECT_EQ(ParseOptionInteger(L"  +1200xyz"), 1200);
  EXPECT_EQ(ParseOptionInteger(L"\t-42"), -42);
  EXPECT_EQ(ParseOptionInteger(L"99999999999999999999"), std::numeric_limits<std::int32_t>::max());
  EXPECT_EQ(ParseOptionInteger(L"-99999999999"), std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(ParseOptionInteger(L"- 5"), 0);
  EXPECT_EQ(ParseOptionInteger(L""), 0);
}

// The Linux service test runs the unit through systemd's own checker where
// it is installed; here the settings and the escaping of odd paths.
TEST(ServiceInstall, SystemdUnitRunsTheCommandAsANotifyServiceThatRestartsAfterFailures) {
  const std::wstring unit = SystemdUnitText(L"\"/srv/50%$off\\x/t\" -s -p 4000");
  auto at = [&](const std::wstring& line) { return unit.find(L"\n" + line + L"\n"); };  // a line of its own
  const std::size_t service = at(L"[Service]"), install = at(L"[Install]");
  ASSERT_LT(service, install);
  for (const wchar_t* line : {L"Type=notify", L"ExecStart=\"/srv/50%%$$off\\\\x/t\" -s -p 4000", L"Restart=on-failure",
                              L"RestartSec=60", L"DynamicUser=yes", L"LimitNOFILE=1048576"})
    EXPECT_TRUE(at(line) > service && at(line) < install) << line;
  EXPECT_NE(at(L"WantedBy=multi-user.target"), std::wstring::npos);
  EXPECT_GT(at(L"WantedBy=multi-user.target"), install);
}

// Keeps (state, controls accepted, exit code, wait hint) of each report; the
// fields every report shares are checked as it arrives.
using Report = std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t>;
class RecordingSink : public platform::ServiceStatusSink {
 public:
  void Report(const ServiceStatus& s) override {
    EXPECT_EQ(s.serviceType, 0x10u);
    EXPECT_EQ(s.serviceSpecificExitCode + s.checkPoint, 0u);
    std::lock_guard<std::mutex> hold(lock);
    reports.emplace_back(s.currentState, s.controlsAccepted, s.win32ExitCode, s.waitHint);
    changed.notify_all();
  }
  bool WaitForState(std::uint32_t state) {
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, 5s, [&] {
      return std::any_of(reports.begin(), reports.end(), [&](const auto& r) { return std::get<0>(r) == state; });
    });
  }
  std::vector<lattice::Report> Reports() {
    std::lock_guard<std::mutex> hold(lock);
    return reports;
  }

 private:
  std::mutex lock;
  std::condition_variable changed;
  std::vector<lattice::Report> reports;
};

const Report kStartPending{kServiceStartPending, 0, 0, 0}, kRunning{kServiceRunning, 0x101, 0, 0};
const Report kStopPending{kServiceStopPending, 0x101, 0, 5000}, kStopped{kServiceStopped, 0x101, 0, 0};

// Runs the service main operation on a thread of its own, as the dispatcher
// does, over a recording sink and a stop flag of the test's own.
class ServiceMainTest : public ::testing::Test {
 protected:
  void Start(RunOperation run, ThreadStarter startThread = StartDetachedThread) {
    sink = std::make_unique<RecordingSink>();
    runner = std::make_unique<ServiceRunner>(Args({L"tracker.exe", L"-s"}), std::move(run));
    auto finished = std::make_shared<std::promise<void>>();
    done = finished->get_future();
    std::thread([this, startThread, finished] {
      ServiceMainOperation([this] { return sink.get(); }, startThread);
      finished->set_value();
    }).detach();
  }
  bool Finished() { return done.wait_for(5s) == std::future_status::ready; }
  void TearDown() override {
    if (!done.valid() || Finished()) return;
    // Unblock a hung run so that it does not outlive the fixture; if that
    // fails too, leave it what it uses.
    runner->stopFlag = 1;
    runner->startedEvent->Set();
    runner->finishedEvent->Set();
    if (!Finished()) {
      runner.release();
      sink.release();
    }
  }
  std::unique_ptr<RecordingSink> sink;
  std::unique_ptr<ServiceRunner> runner;
  std::future<void> done;
};

TEST_F(ServiceMainTest, EachStopControlGoesFromRunningThroughStopPendingToStopped) {
  for (std::uint32_t control : {kControlStop, kControlShutdown, kControlPreshutdown}) {
    Start([this](std::shared_ptr<const ArgsCollector>, std::atomic<std::int32_t>&) {
      NotifyStarted();
      while (runner->stopFlag.load() == 0) std::this_thread::sleep_for(1ms);
      return 0u;
    });
    ASSERT_TRUE(sink->WaitForState(kServiceRunning));
    EXPECT_EQ(ServiceControlHandler(kControlInterrogate), 0u);  // repeats the running report
    EXPECT_EQ(runner->stopFlag.load(), 0);
    EXPECT_EQ(ServiceControlHandler(control), 0u);
    EXPECT_EQ(runner->stopFlag.load(), 1);
    ASSERT_TRUE(Finished());
    EXPECT_EQ(sink->Reports(), (std::vector<Report>{kStartPending, kRunning, kRunning, kStopPending, kStopped}))
        << control;
    runner.reset();
  }
}

TEST_F(ServiceMainTest, StopWhileStartPendingIsFollowedByRunningThenStopped) {
  std::promise<void> gate;
  std::int32_t flagSeenByTracker = 0;
  Start([&](std::shared_ptr<const ArgsCollector>, std::atomic<std::int32_t>&) {
    gate.get_future().wait();
    NotifyStarted();
    sink->WaitForState(kServiceRunning);  // so that running cannot be skipped
    flagSeenByTracker = runner->stopFlag.load();
    return 0u;
  });
  ASSERT_TRUE(sink->WaitForState(kServiceStartPending));
  EXPECT_EQ(ServiceControlHandler(kControlInterrogate), 0u);
  EXPECT_EQ(ServiceControlHandler(kControlStop), 0u);
  EXPECT_EQ(ServiceControlHandler(kControlInterrogate), 0u);
  gate.set_value();
  ASSERT_TRUE(Finished());
  EXPECT_EQ(flagSeenByTracker, 1);
  EXPECT_EQ(sink->Reports(),
            (std::vector<Report>{kStartPending, kStartPending, kStopPending, kStopPending, kRunning, kStopped}));
}

TEST_F(ServiceMainTest, WorkerThatCannotBeStartedEndsStoppedWithAFailureCode) {
  bool ran = false;
  Start([&](std::shared_ptr<const ArgsCollector>, std::atomic<std::int32_t>&) { return ran = true, 0u; }, [](std::function<void()>) { return false; });
  ASSERT_TRUE(Finished());
  EXPECT_FALSE(ran);
  EXPECT_EQ(sink->Reports(), (std::vector<Report>{kStartPending, {kServiceStopped, 0x101, kErrorNoWorkerThread, 0}}));
  EXPECT_EQ(runner->exitCode.load(), kErrorNoWorkerThread);
}

TEST(ServiceControl, ControlsWithoutARunnerOrNotHandledChangeNothing) {
  EXPECT_EQ(ServiceControlHandler(kControlStop), kErrorInvalidData);
  ServiceRunner runner(Args({L"x", L"-s"}), [](std::shared_ptr<const ArgsCollector>, std::atomic<std::int32_t>&) { return 0u; });
  RecordingSink sink;
  runner.statusHandle = &sink;
  EXPECT_EQ(ServiceControlHandler(2), kErrorCallNotImplemented);  // pause
  EXPECT_EQ(ServiceControlHandler(3), kErrorCallNotImplemented);  // continue
  EXPECT_TRUE(sink.Reports().empty());
  EXPECT_EQ(runner.stopFlag.load(), 0);
}

}  // namespace
}  // namespace lattice
