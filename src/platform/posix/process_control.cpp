// Stop requests by signal, and the console that POSIX processes inherit.
#include "platform/process_control.h"

#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

namespace platform {
namespace {
std::atomic<std::int32_t>* stopTarget = nullptr;

extern "C" void OnStopSignal(int) {
  if (stopTarget != nullptr) stopTarget->store(1, std::memory_order_relaxed);
}
}  // namespace

void InstallStopHandler(std::atomic<std::int32_t>* stopFlag) {
  stopTarget = stopFlag;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A peer that resets its connection must not kill the process.
  signal(SIGPIPE, SIG_IGN);
}

std::uint64_t RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    // An unlimited hard limit is refused above the kernel's ceiling; the old
    // soft limit then stays.
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return static_cast<std::uint64_t>(limit.rlim_cur);
}

void ReturnFreeMemory() { malloc_trim(0); }

void OpenConsole() {}
void CloseConsole() {}

void OpenParentConsole() {}

bool IsElevated() { return geteuid() == 0; }

void ShowPrivilegeError(const wchar_t* text, const wchar_t*) {
  std::fprintf(stderr, "%ls\n", text);
}

}  // namespace platform
