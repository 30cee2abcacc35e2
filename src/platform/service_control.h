// The system's service manager as the service state machine sees it: the
// dispatcher, the control handler's registration, status reports, the events
// that order the threads of a service run, and install and remove.
//
// On Windows these are the service control manager's calls. On Linux systemd
// stands in: status reports become notify datagrams, the stop signal becomes
// the stop control, and install and remove write and delete a unit file.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {

// The seven fields of every status report, in the system's order.
struct ServiceStatus {
  std::uint32_t serviceType = 0;
  std::uint32_t currentState = 0;
  std::uint32_t controlsAccepted = 0;
  std::uint32_t win32ExitCode = 0;
  std::uint32_t serviceSpecificExitCode = 0;
  std::uint32_t checkPoint = 0;
  std::uint32_t waitHint = 0;
};

// Where the reports of one service run go (the status handle).
class ServiceStatusSink {
 public:
  virtual ~ServiceStatusSink() = default;
  virtual void Report(const ServiceStatus& status) = 0;
};

using ServiceMainEntry = void (*)();
// Takes a control code, returns a Win32 error code (0 when handled).
using ServiceControlEntry = std::uint32_t (*)(std::uint32_t control);

// Lends this thread to the service manager until the service has stopped;
// serviceMain runs on a thread of its own. False at once when the process
// was not started by the service manager.
bool RunServiceDispatcher(const wchar_t* serviceName, ServiceMainEntry serviceMain);

// Called by the service main operation: from now on controls reach handler.
// Null when registration fails. The sink lives until the process ends.
ServiceStatusSink* RegisterServiceControl(const wchar_t* serviceName, ServiceControlEntry handler);

enum class EventWait { Signalled, TimedOut, Failed };

// A manual-reset event, created non-signalled.
class ManualEvent {
 public:
  virtual ~ManualEvent() = default;
  virtual void Set() = 0;
  // A timeout of 0 tests the event without waiting; kInfinite has no limit.
  virtual EventWait Wait(std::uint32_t timeoutMs) = 0;
  static constexpr std::uint32_t kInfinite = 0xFFFFFFFF;
};

// Null when the system cannot create one.
std::unique_ptr<ManualEvent> CreateManualEvent();

struct ServiceDefinition {
  const wchar_t* name;
  const wchar_t* displayName;
  const wchar_t* account;
  std::uint32_t restartDelayMs;
  // The command line the service manager starts, built from the program's
  // own path once the manager has been opened.
  std::function<std::wstring(const std::wstring& programPath)> commandLine;
  // The unit file for a manager that reads one, from that command line.
  std::function<std::wstring(const std::wstring& commandLine)> unitText;
};

// True when the service exists afterwards; an existing one is left as it is.
bool InstallService(const ServiceDefinition& service);
// Asks the service to stop without waiting, then deletes it.
bool RemoveService(const wchar_t* serviceName);

}  // namespace platform
