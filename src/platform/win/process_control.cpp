// Stop requests through the C runtime's signals, the program's own console,
// the token's elevation and the refusal message box, on Windows.
#include "platform/process_control.h"

#include <windows.h>

#include <malloc.h>

#include <csignal>
#include <cstdio>

namespace platform {
namespace {

std::atomic<std::int32_t>* stopTarget = nullptr;

// The runtime resets the handler to the default before calling it, so a
// second request of the same kind ends the process as usual.
extern "C" void OnStopSignal(int) {
  if (stopTarget != nullptr) stopTarget->store(1, std::memory_order_relaxed);
}

}  // namespace

void InstallStopHandler(std::atomic<std::int32_t>* stopFlag) {
  stopTarget = stopFlag;
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
  std::signal(SIGBREAK, OnStopSignal);
}

// A windowed program starts without a console; the one it makes here carries
// the banner, the log and the reports. Failures leave the output unseen.
void ReturnFreeMemory() { _heapmin(); }

// Sockets are kernel objects without a per-process ceiling here.
std::uint64_t RaiseDescriptorLimit() { return 0; }

void OpenConsole() {
  AllocConsole();
  AttachConsole(GetCurrentProcessId());
  std::freopen("CON", "w", stdout);
  std::freopen("CON", "w", stderr);
}

void CloseConsole() { FreeConsole(); }

void OpenParentConsole() {
  // Redirected output already reaches the runtime's stdout.
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out != nullptr && out != INVALID_HANDLE_VALUE) return;
  if (AttachConsole(ATTACH_PARENT_PROCESS)) std::freopen("CONOUT$", "w", stdout);
}

bool IsElevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  BOOL ok = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
  CloseHandle(token);
  return ok && elevation.TokenIsElevated != 0;
}

void ShowPrivilegeError(const wchar_t* text, const wchar_t* caption) {
  MessageBoxW(nullptr, text, caption, MB_ICONERROR | MB_OK);
}

}  // namespace platform
