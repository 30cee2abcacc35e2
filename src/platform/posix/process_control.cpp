// Stop requests by signal, and the console that POSIX processes inherit.
#include "platform/process_control.h"

#include <signal.h>
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

void OpenConsole() {}
void CloseConsole() {}

bool IsElevated() { return geteuid() == 0; }

void ShowPrivilegeError(const wchar_t* text, const wchar_t*) {
  std::fprintf(stderr, "%ls\n", text);
}

}  // namespace platform
