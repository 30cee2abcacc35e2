#include "app/service_main.h"

#include <system_error>
#include <thread>

#include "app/service_runner.h"

namespace lattice {
namespace {

using platform::EventWait;

// Fills and sends the status record; the caller holds statusLock, so that a
// control that arrives mid-report never interleaves with the service main's.
void SendStatusLocked(ServiceRunner& runner, std::uint32_t state, std::uint32_t controls, std::uint32_t waitHint) {
  runner.status.serviceType = kServiceWin32OwnProcess;
  runner.status.currentState = state;
  runner.status.controlsAccepted = controls;
  runner.status.win32ExitCode = runner.exitCode.load();
  runner.status.serviceSpecificExitCode = 0;
  runner.status.checkPoint = 0;
  runner.status.waitHint = waitHint;
  if (runner.statusHandle != nullptr) runner.statusHandle->Report(runner.status);
}

void ReportStatus(ServiceRunner& runner, std::uint32_t state, std::uint32_t controls, std::uint32_t waitHint) {
  std::lock_guard<std::mutex> lock(runner.statusLock);
  SendStatusLocked(runner, state, controls, waitHint);
}

// Reading and re-sending under one lock keeps a concurrent state change from
// being followed by a stale copy of the state before it.
void ReportCurrentState(ServiceRunner& runner) {
  std::lock_guard<std::mutex> lock(runner.statusLock);
  const std::uint32_t state = runner.status.currentState;
  SendStatusLocked(runner, state, state == kServiceStartPending ? 0 : kServiceAcceptedControls,
                   state == kServiceStopPending ? kStopPendingWaitHintMs : 0);
}

// True once the tracker serves; false when it returned first or a wait failed.
bool WaitUntilServing(ServiceRunner& runner) {
  while (true) {
    EventWait started = runner.startedEvent->Wait(1000);
    if (started == EventWait::Signalled) return true;
    if (started == EventWait::Failed) return false;
    if (runner.finishedEvent->Wait(0) != EventWait::TimedOut) return false;
  }
}

}  // namespace

void ServiceMainOperation(const RegisterControlHandler& registerHandler, const ThreadStarter& startThread) {
  ServiceRunner* runner = ActiveRunner();
  if (runner == nullptr) return;
  runner->statusHandle = registerHandler();
  if (runner->statusHandle == nullptr) return;
  ReportStatus(*runner, kServiceStartPending, 0, 0);

  // Without its events or its worker the run cannot go on; it must still end
  // in the stopped state, with a code that tells it did not run.
  const bool haveEvents = runner->startedEvent != nullptr && runner->finishedEvent != nullptr;
  if (!haveEvents || !startThread([] { ServiceWorker(); })) {
    runner->exitCode.store(kErrorNoWorkerThread);
  } else if (WaitUntilServing(*runner)) {
    ReportStatus(*runner, kServiceRunning, kServiceAcceptedControls, 0);
    runner->finishedEvent->Wait(platform::ManualEvent::kInfinite);
  }
  ReportStatus(*runner, kServiceStopped, kServiceAcceptedControls, 0);
}

std::uint32_t ServiceControlHandler(std::uint32_t control) {
  ServiceRunner* runner = ActiveRunner();
  if (runner == nullptr) return kErrorInvalidData;
  switch (control) {
    case kControlStop:
    case kControlShutdown:
    case kControlPreshutdown:
      ReportStatus(*runner, kServiceStopPending, kServiceAcceptedControls, kStopPendingWaitHintMs);
      runner->stopFlag.store(1);
      return 0;
    case kControlInterrogate:
      ReportCurrentState(*runner);
      return 0;
    default:
      return kErrorCallNotImplemented;
  }
}

std::uint32_t ServiceWorker() {
  ServiceRunner* runner = ActiveRunner();
  if (runner == nullptr) return 0;
  std::uint32_t result = runner->run(runner->args, runner->stopFlag);
  runner->exitCode.store(result);
  runner->finishedEvent->Set();
  return 0;
}

bool StartDetachedThread(std::function<void()> body) {
  try {
    std::thread(std::move(body)).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

}  // namespace lattice
