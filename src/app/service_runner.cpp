#include "app/service_runner.h"

#include "app/service_host.h"

namespace lattice {
namespace {
std::atomic<ServiceRunner*> activeRunner{nullptr};
}

ServiceRunner::ServiceRunner(std::shared_ptr<const ArgsCollector> arguments, RunOperation operation)
    : args(std::move(arguments)), run(std::move(operation)) {
  isService = !args->Get(L"s").empty();
  activeRunner.store(this);
  if (isService) {
    startedEvent = platform::CreateManualEvent();
    finishedEvent = platform::CreateManualEvent();
  }
}

ServiceRunner::~ServiceRunner() {
  ServiceRunner* self = this;
  activeRunner.compare_exchange_strong(self, nullptr);
}

std::uint32_t ServiceRunner::Run() {
  if (!isService) return run(args, stopFlag);
  RunServiceDispatcher();
  return exitCode.load();
}

ServiceRunner* ActiveRunner() { return activeRunner.load(); }

void NotifyStarted() {
  ServiceRunner* runner = ActiveRunner();
  if (runner != nullptr && runner->isService && runner->startedEvent != nullptr) runner->startedEvent->Set();
}

}  // namespace lattice
