// The run context of one process run: console or service mode.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "app/args_collector.h"
#include "platform/service_control.h"

namespace lattice {

// The tracker's body: it returns once stopFlag is set (or it failed to start).
using RunOperation =
    std::function<std::uint32_t(std::shared_ptr<const ArgsCollector>, std::atomic<std::int32_t>& stopFlag)>;

class ServiceRunner {
 public:
  // Publishes itself as the active runner; in service mode it also creates
  // both events.
  ServiceRunner(std::shared_ptr<const ArgsCollector> args, RunOperation run);
  ~ServiceRunner();
  ServiceRunner(const ServiceRunner&) = delete;
  ServiceRunner& operator=(const ServiceRunner&) = delete;

  // Service mode lends this thread to the service dispatcher and returns the
  // service's exit code; console mode runs the tracker here.
  std::uint32_t Run();

  bool isService = false;
  // Written by the worker before finishedEvent is set; read after it.
  std::atomic<std::uint32_t> exitCode{0};
  platform::ServiceStatusSink* statusHandle = nullptr;
  // Reported from the service main thread and from the control handler, so
  // both fill and send it under statusLock.
  platform::ServiceStatus status{};
  std::mutex statusLock;
  std::unique_ptr<platform::ManualEvent> startedEvent;
  std::unique_ptr<platform::ManualEvent> finishedEvent;
  std::shared_ptr<const ArgsCollector> args;
  RunOperation run;
  // Set to 1 by a stop request: a signal, or the service manager's control
  // handler on another thread. Each run has its own, so a second run in one
  // process starts clean.
  std::atomic<std::int32_t> stopFlag{0};
};

// The runner of this process run, or null.
ServiceRunner* ActiveRunner();

// Called by the event loop once it is about to serve.
void NotifyStarted();

}  // namespace lattice
