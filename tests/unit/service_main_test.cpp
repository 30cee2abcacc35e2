#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "app/service_main.h"
#include "app/service_runner.h"

namespace lattice {
namespace {

using platform::ServiceStatus;
using namespace std::chrono_literals;

class RecordingSink : public platform::ServiceStatusSink {
 public:
  void Report(const ServiceStatus& status) override {
    std::lock_guard<std::mutex> hold(lock);
    reports.push_back(status);
    changed.notify_all();
  }
  bool WaitForState(std::uint32_t state) {
    std::unique_lock<std::mutex> hold(lock);
    return changed.wait_for(hold, 5s, [&] {
      for (const ServiceStatus& s : reports)
        if (s.currentState == state) return true;
      return false;
    });
  }
  std::vector<ServiceStatus> Reports() {
    std::lock_guard<std::mutex> hold(lock);
    return reports;
  }
  std::vector<std::uint32_t> States() {
    std::vector<std::uint32_t> states;
    for (const ServiceStatus& s : Reports()) states.push_back(s.currentState);
    return states;
  }

 private:
  std::mutex lock;
  std::condition_variable changed;
  std::vector<ServiceStatus> reports;
};

void ExpectStatus(const ServiceStatus& s, std::uint32_t state, std::uint32_t controls, std::uint32_t exitCode,
                  std::uint32_t waitHint) {
  EXPECT_EQ(s.serviceType, 0x10u);
  EXPECT_EQ(s.currentState, state);
  EXPECT_EQ(s.controlsAccepted, controls);
  EXPECT_EQ(s.win32ExitCode, exitCode);
  EXPECT_EQ(s.serviceSpecificExitCode, 0u);
  EXPECT_EQ(s.checkPoint, 0u);
  EXPECT_EQ(s.waitHint, waitHint);
}

std::shared_ptr<const ArgsCollector> Args(std::vector<std::wstring> words) {
  return std::make_shared<const ArgsCollector>(static_cast<int>(words.size()), words);
}

// Runs the service main operation on a thread of its own, as the dispatcher
// does, over a recording sink and a stop flag of the test's own.
class ServiceMainTest : public ::testing::Test {
 protected:
  void Start(RunOperation run, ThreadStarter startThread = StartDetachedThread) {
    stop = 0;
    sink = std::make_unique<RecordingSink>();
    runner = std::make_unique<ServiceRunner>(Args({L"tracker.exe", L"-s"}), std::move(run));
    runner->stopFlag = &stop;
    auto finished = std::make_shared<std::promise<void>>();
    done = finished->get_future();
    std::thread([this, startThread, finished] {
      ServiceMainOperation([this] { return sink.get(); }, startThread);
      finished->set_value();
    }).detach();
  }
  // False when the service main operation is still running after 5 s.
  bool Finished() { return done.wait_for(5s) == std::future_status::ready; }
  void TearDown() override {
    if (!done.valid() || Finished()) return;
    // Unblock a hung run so that it does not outlive the fixture; if that
    // fails too, leave it what it uses.
    stop = 1;
    runner->startedEvent->Set();
    runner->finishedEvent->Set();
    if (!Finished()) {
      runner.release();
      sink.release();
    }
  }

  std::atomic<std::int32_t> stop{0};
  std::unique_ptr<RecordingSink> sink;
  std::unique_ptr<ServiceRunner> runner;
  std::future<void> done;
};

TEST_F(ServiceMainTest, EachStopControlGoesFromRunningThroughStopPendingToStopped) {
  // An interrogate while running repeats the running report first.
  for (std::uint32_t control : {kControlStop, kControlShutdown, kControlPreshutdown}) {
    SCOPED_TRACE(control);
    Start([this](std::shared_ptr<const ArgsCollector>) {
      NotifyStarted();
      while (stop.load() == 0) std::this_thread::sleep_for(1ms);
      return 0u;
    });
    ASSERT_TRUE(sink->WaitForState(kServiceRunning));
    EXPECT_EQ(ServiceControlHandler(kControlInterrogate), 0u);
    EXPECT_EQ(stop.load(), 0);
    EXPECT_EQ(ServiceControlHandler(control), 0u);
    EXPECT_EQ(stop.load(), 1);
    ASSERT_TRUE(Finished());
    std::vector<ServiceStatus> r = sink->Reports();
    ASSERT_EQ(r.size(), 5u);
    ExpectStatus(r[0], kServiceStartPending, 0, 0, 0);
    ExpectStatus(r[1], kServiceRunning, 0x101, 0, 0);
    ExpectStatus(r[2], kServiceRunning, 0x101, 0, 0);
    ExpectStatus(r[3], kServiceStopPending, 0x101, 0, 5000);
    ExpectStatus(r[4], kServiceStopped, 0x101, 0, 0);
    runner.reset();
  }
}

TEST_F(ServiceMainTest, StopWhileStartPendingIsFollowedByRunningThenStopped) {
  std::promise<void> gate;
  std::int32_t flagSeenByTracker = 0;
  Start([&](std::shared_ptr<const ArgsCollector>) {
    gate.get_future().wait();
    NotifyStarted();
    // Stay until running is reported, so that it cannot be skipped by the
    // finished test that follows each timed-out wait.
    sink->WaitForState(kServiceRunning);
    flagSeenByTracker = stop.load();
    return 0u;
  });
  ASSERT_TRUE(sink->WaitForState(kServiceStartPending));
  EXPECT_EQ(ServiceControlHandler(kControlInterrogate), 0u);
  EXPECT_EQ(ServiceControlHandler(kControlStop), 0u);
  EXPECT_EQ(ServiceControlHandler(kControlInterrogate), 0u);
  gate.set_value();
  ASSERT_TRUE(Finished());
  EXPECT_EQ(flagSeenByTracker, 1);
  std::vector<ServiceStatus> r = sink->Reports();
  ASSERT_EQ(r.size(), 6u);
  ExpectStatus(r[1], kServiceStartPending, 0, 0, 0);
  ExpectStatus(r[2], kServiceStopPending, 0x101, 0, 5000);
  ExpectStatus(r[3], kServiceStopPending, 0x101, 0, 5000);
  ExpectStatus(r[4], kServiceRunning, 0x101, 0, 0);
  ExpectStatus(r[5], kServiceStopped, 0x101, 0, 0);
}

TEST_F(ServiceMainTest, TrackerThatReturnsBeforeServingStopsWithinAboutASecondWithItsResult) {
  const auto start = std::chrono::steady_clock::now();
  Start([](std::shared_ptr<const ArgsCollector>) { return 2u; });
  ASSERT_TRUE(Finished());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  std::vector<ServiceStatus> r = sink->Reports();
  ASSERT_EQ(r.size(), 2u);
  ExpectStatus(r[0], kServiceStartPending, 0, 0, 0);
  ExpectStatus(r[1], kServiceStopped, 0x101, 2, 0);
  EXPECT_EQ(runner->exitCode.load(), 2u);
}

TEST_F(ServiceMainTest, WorkerThatCannotBeStartedEndsStoppedWithAFailureCode) {
  bool ran = false;
  Start(
      [&](std::shared_ptr<const ArgsCollector>) {
        ran = true;
        return 0u;
      },
      [](std::function<void()>) { return false; });
  ASSERT_TRUE(Finished());
  EXPECT_FALSE(ran);
  EXPECT_EQ(sink->States(), (std::vector<std::uint32_t>{kServiceStartPending, kServiceStopped}));
  EXPECT_NE(sink->Reports().back().win32ExitCode, 0u);
  EXPECT_EQ(runner->exitCode.load(), sink->Reports().back().win32ExitCode);
}

TEST(ServiceControl, UnhandledControlsFailedRegistrationAndNoRunnerChangeNothing) {
  EXPECT_EQ(ServiceControlHandler(kControlStop), kErrorInvalidData);
  bool registered = false;
  ServiceMainOperation(
      [&]() -> platform::ServiceStatusSink* {
        registered = true;
        return nullptr;
      },
      StartDetachedThread);
  EXPECT_FALSE(registered);

  std::atomic<std::int32_t> stop{0};
  ServiceRunner runner(Args({L"x", L"-s"}), [](std::shared_ptr<const ArgsCollector>) { return 0u; });
  runner.stopFlag = &stop;
  bool threadStarted = false;
  ServiceMainOperation([]() -> platform::ServiceStatusSink* { return nullptr; },
                       [&](std::function<void()>) {
                         threadStarted = true;
                         return true;
                       });
  EXPECT_FALSE(threadStarted);

  RecordingSink sink;
  runner.statusHandle = &sink;
  EXPECT_EQ(ServiceControlHandler(2), kErrorCallNotImplemented);  // pause
  EXPECT_EQ(ServiceControlHandler(3), kErrorCallNotImplemented);  // continue
  EXPECT_TRUE(sink.Reports().empty());
  EXPECT_EQ(stop.load(), 0);
}

TEST(ServiceRunner, ConsoleModeRunsInPlaceAndOnlyServiceModeHasEvents) {
  {
    ServiceRunner console(Args({L"x", L"-p", L"4000"}), [](std::shared_ptr<const ArgsCollector> a) {
      return static_cast<std::uint32_t>(a->Get(L"p").size() + 40);
    });
    EXPECT_EQ(ActiveRunner(), &console);
    EXPECT_FALSE(console.isService);
    EXPECT_EQ(console.startedEvent, nullptr);
    NotifyStarted();  // nothing to signal in console mode
    EXPECT_EQ(console.Run(), 42u);
  }
  EXPECT_EQ(ActiveRunner(), nullptr);
  ServiceRunner service(Args({L"x", L"-s"}), nullptr);
  ASSERT_NE(service.startedEvent, nullptr);
  ASSERT_NE(service.finishedEvent, nullptr);
  EXPECT_EQ(service.startedEvent->Wait(0), platform::EventWait::TimedOut);
  NotifyStarted();
  EXPECT_EQ(service.startedEvent->Wait(0), platform::EventWait::Signalled);
  EXPECT_EQ(service.startedEvent->Wait(10), platform::EventWait::Signalled);  // manual reset
  EXPECT_EQ(service.finishedEvent->Wait(20), platform::EventWait::TimedOut);
}

}  // namespace
}  // namespace lattice
