#include "app/app_main.h"

#include "app/run_tracker.h"
#include "app/service_host.h"
#include "app/service_runner.h"
#include "app/usage.h"
#include "platform/process_control.h"
#include "platform/standard_output.h"

namespace lattice {

int AppMain(const std::vector<std::wstring>& words) {
  auto args = std::make_shared<const ArgsCollector>(static_cast<int>(words.size()), words);
  if (const InfoRequest info = FindInfoRequest(*args); info != InfoRequest::None) {
    const std::string text = info == InfoRequest::Help ? UsageText() : VersionText();
    platform::OpenParentConsole();
    return platform::WriteStandardOutput(text.data(), text.size()) ? 0 : 1;
  }
  const bool install = !args->Get(L"sr").empty();
  const bool remove = !args->Get(L"sd").empty();
  if (install || remove) return RunServiceCommand(args, SystemServiceCommands());
  ServiceRunner runner(args, RunTracker);
  if (!runner.isService) platform::OpenConsole();
  int exitCode = static_cast<int>(runner.Run());
  if (!runner.isService) platform::CloseConsole();
  return exitCode;
}

}  // namespace lattice
