// The service manager on Windows: the service control dispatcher, the
// extended control handler, status reports, events, CreateServiceW and
// DeleteService.
#include "platform/service_control.h"

#include <windows.h>

#include <vector>

namespace platform {
namespace {

ServiceMainEntry serviceMainEntry = nullptr;
ServiceControlEntry controlEntry = nullptr;
HANDLE serviceMainReturned = nullptr;

class ScmSink final : public ServiceStatusSink {
 public:
  SERVICE_STATUS_HANDLE handle = nullptr;

  void Report(const ServiceStatus& status) override {
    SERVICE_STATUS record{status.serviceType,   status.currentState,           status.controlsAccepted,
                          status.win32ExitCode, status.serviceSpecificExitCode, status.checkPoint,
                          status.waitHint};
    SetServiceStatus(handle, &record);
  }
};

ScmSink scmSink;

// The service start parameters are ignored: the options come from the
// command line that the installed service carries.
void WINAPI ServiceMainThunk(DWORD, LPWSTR*) {
  serviceMainEntry();
  if (serviceMainReturned != nullptr) SetEvent(serviceMainReturned);
}

// Only the control code is read.
DWORD WINAPI ControlThunk(DWORD control, DWORD, LPVOID, LPVOID) { return controlEntry(control); }

class KernelEvent final : public ManualEvent {
 public:
  explicit KernelEvent(HANDLE event) : handle(event) {}
  ~KernelEvent() override { CloseHandle(handle); }

  void Set() override { SetEvent(handle); }

  EventWait Wait(std::uint32_t timeoutMs) override {
    switch (WaitForSingleObject(handle, timeoutMs)) {
      case WAIT_OBJECT_0: return EventWait::Signalled;
      case WAIT_TIMEOUT: return EventWait::TimedOut;
      default: return EventWait::Failed;
    }
  }

 private:
  HANDLE handle;
};

void SetFailureActions(SC_HANDLE service, std::uint32_t restartDelayMs) {
  // The actions apply only when the process ends without reporting stopped.
  SERVICE_FAILURE_ACTIONS_FLAG flag{FALSE};
  ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag);
  SC_ACTION restart{SC_ACTION_RESTART, restartDelayMs};
  SERVICE_FAILURE_ACTIONSW actions{};
  actions.dwResetPeriod = INFINITE;
  actions.lpRebootMsg = nullptr;
  actions.lpCommand = nullptr;
  actions.cActions = 1;
  actions.lpsaActions = &restart;
  ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &actions);
}

}  // namespace

bool RunServiceDispatcher(const wchar_t* serviceName, ServiceMainEntry serviceMain) {
  serviceMainEntry = serviceMain;
  serviceMainReturned = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(serviceName), ServiceMainThunk}, {nullptr, nullptr}};
  const bool ran = StartServiceCtrlDispatcherW(table) != 0;
  // The dispatcher returns once stopped is reported, which the service main
  // thread may still be finishing; the caller then destroys what it uses.
  if (ran && serviceMainReturned != nullptr) WaitForSingleObject(serviceMainReturned, 5000);
  return ran;
}

ServiceStatusSink* RegisterServiceControl(const wchar_t* serviceName, ServiceControlEntry handler) {
  controlEntry = handler;
  scmSink.handle = RegisterServiceCtrlHandlerExW(serviceName, ControlThunk, nullptr);
  return scmSink.handle != nullptr ? &scmSink : nullptr;
}

std::unique_ptr<ManualEvent> CreateManualEvent() {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) return nullptr;
  return std::make_unique<KernelEvent>(event);
}

bool InstallService(const ServiceDefinition& service) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
  if (manager == nullptr) return false;
  std::vector<wchar_t> path(32767);
  DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  const std::wstring commandLine = service.commandLine(std::wstring(path.data(), length));

  SC_HANDLE existing = OpenServiceW(manager, service.name, SERVICE_ALL_ACCESS);
  if (existing != nullptr) {
    CloseServiceHandle(existing);
    CloseServiceHandle(manager);
    return true;
  }
  SC_HANDLE created = CreateServiceW(manager, service.name, service.displayName, SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                     commandLine.c_str(), nullptr, nullptr, nullptr, service.account, L"");
  if (created == nullptr) {
    CloseServiceHandle(manager);
    return false;
  }
  SetFailureActions(created, service.restartDelayMs);
  CloseServiceHandle(created);
  CloseServiceHandle(manager);
  return true;
}

bool RemoveService(const wchar_t* serviceName) {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
  if (manager == nullptr) return false;
  // STANDARD_RIGHTS_REQUIRED with query and change config, query status,
  // enumerate dependents, start and stop.
  SC_HANDLE service = OpenServiceW(manager, serviceName, 0xF003F);
  if (service == nullptr) {
    CloseServiceHandle(manager);
    return false;
  }
  SERVICE_STATUS ignored{};
  ControlService(service, SERVICE_CONTROL_STOP, &ignored);
  const bool deleted = DeleteService(service) != 0;
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return deleted;
}

}  // namespace platform
