// The run context of one process run: console or service mode.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "app/args_collector.h"

namespace lattice {

using RunOperation = std::uint32_t (*)(std::shared_ptr<const ArgsCollector>);

class ServiceRunner {
 public:
  ServiceRunner(std::shared_ptr<const ArgsCollector> args, RunOperation run);
  ~ServiceRunner();
  ServiceRunner(const ServiceRunner&) = delete;
  ServiceRunner& operator=(const ServiceRunner&) = delete;

  // Service mode hands the run to the service host; console mode runs here.
  std::uint32_t Run();

  bool isService = false;
  std::atomic<std::uint32_t> exitCode{0};
  std::shared_ptr<const ArgsCollector> args;
  RunOperation run;
  std::atomic<std::int32_t>* stopFlag;
};

// The runner of this process run, or null.
ServiceRunner* ActiveRunner();

// Called by the event loop once it is about to serve.
void NotifyStarted();

}  // namespace lattice
