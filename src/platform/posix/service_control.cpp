// The service manager over systemd: notify datagrams for status reports, the
// stop signals as the stop control, and a unit file for install and remove.
#include "platform/service_control.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

extern char** environ;

namespace platform {
namespace {

// The service manager's codes that this adapter produces or reads.
constexpr std::uint32_t kStateStopped = 1;
constexpr std::uint32_t kStateStartPending = 2;
constexpr std::uint32_t kStateStopPending = 3;
constexpr std::uint32_t kStateRunning = 4;
constexpr std::uint32_t kControlStop = 1;

std::string Narrow(const std::wstring& text) {
  std::string out;
  std::mbstate_t state{};
  char buffer[MB_LEN_MAX];
  for (wchar_t c : text) {
    std::size_t n = std::wcrtomb(buffer, c, &state);
    if (n == static_cast<std::size_t>(-1)) {
      // Not encodable in the locale: a byte that the widening kept as is.
      out.push_back(static_cast<char>(c));
      state = std::mbstate_t{};
    } else {
      out.append(buffer, n);
    }
  }
  return out;
}

// Widens as the entry point widens argv, so a path round-trips.
std::wstring Widen(const std::string& text) {
  std::wstring out(text.size(), L'\0');
  std::mbstate_t state{};
  const char* p = text.c_str();
  std::size_t n = std::mbsrtowcs(out.data(), &p, out.size(), &state);
  if (n == static_cast<std::size_t>(-1)) return std::wstring(text.begin(), text.end());
  out.resize(n);
  return out;
}

// NOTIFY_SOCKET names a datagram socket: a path, or with a leading '@' a
// name in the abstract namespace.
class NotifySink final : public ServiceStatusSink {
 public:
  bool Open(const char* name) {
    const std::size_t length = std::strlen(name);
    if (length == 0 || length >= sizeof address.sun_path) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name, length);
    if (name[0] == '@') address.sun_path[0] = '\0';
    addressLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    return fd >= 0;
  }

  void Report(const ServiceStatus& status) override {
    std::string message;
    switch (status.currentState) {
      case kStateStartPending: message = "STATUS=Starting"; break;
      case kStateRunning: message = "READY=1\nSTATUS=Serving"; break;
      case kStateStopPending: message = "STOPPING=1\nSTATUS=Stopping"; break;
      case kStateStopped:
        message = "STATUS=Stopped\nEXIT_STATUS=" + std::to_string(status.win32ExitCode);
        break;
      default: return;
    }
    // A lost report is not retried: systemd's own timeouts cover it.
    sendto(fd, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address),
           addressLength);
  }

 private:
  int fd = -1;
  sockaddr_un address{};
  socklen_t addressLength = 0;
};

// The dispatcher's side of a service run, shared with the registration that
// the service main thread makes.
struct Dispatcher {
  NotifySink sink;
  std::atomic<ServiceControlEntry> handler{nullptr};
  std::atomic<bool> mainDone{false};
  int wakeFd = -1;

  void Wake() {
    std::uint64_t one = 1;
    ssize_t written = write(wakeFd, &one, sizeof one);
    (void)written;  // An eventfd counter write cannot fail short of overflow.
  }
};

Dispatcher dispatcher;

// Forwards stop signals to the control handler until the service main
// operation has returned. Signals are read only once a handler is
// registered; until then they stay pending.
void DispatchSignals(int signalFd) {
  while (!dispatcher.mainDone.load()) {
    ServiceControlEntry handler = dispatcher.handler.load();
    pollfd fds[2] = {{dispatcher.wakeFd, POLLIN, 0}, {signalFd, POLLIN, 0}};
    if (poll(fds, handler != nullptr ? 2 : 1, -1) < 0) continue;
    if (fds[0].revents & POLLIN) {
      std::uint64_t count;
      ssize_t got = read(dispatcher.wakeFd, &count, sizeof count);
      (void)got;
    }
    if (handler != nullptr && (fds[1].revents & POLLIN)) {
      signalfd_siginfo info;
      if (read(signalFd, &info, sizeof info) == sizeof info) handler(kControlStop);
    }
  }
}

// Runs systemctl with the inherited standard error, so that its reason for
// failing reaches the administrator; true when it exits with 0.
bool Systemctl(std::vector<std::string> words) {
  words.insert(words.begin(), "systemctl");
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int error = posix_spawnp(&pid, "systemctl", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (error != 0) return false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Tests point LATTICE_UNIT_DIR at a folder of their own; nothing else sets it.
std::string UnitPath(const wchar_t* serviceName) {
  const char* folder = std::getenv("LATTICE_UNIT_DIR");
  std::string path = folder != nullptr && *folder != '\0' ? folder : "/etc/systemd/system";
  return path + "/" + Narrow(serviceName) + ".service";
}

std::string UnitName(const wchar_t* serviceName) { return Narrow(serviceName) + ".service"; }

std::string ProgramPath() {
  std::vector<char> buffer(4096);
  while (true) {
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < buffer.size()) return std::string(buffer.data(), static_cast<std::size_t>(n));
    buffer.resize(buffer.size() * 2);
  }
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

class ConditionEvent final : public ManualEvent {
 public:
  void Set() override {
    std::lock_guard<std::mutex> hold(lock);
    signalled = true;
    changed.notify_all();
  }

  EventWait Wait(std::uint32_t timeoutMs) override {
    std::unique_lock<std::mutex> hold(lock);
    auto isSet = [this] { return signalled; };
    if (timeoutMs == kInfinite) {
      changed.wait(hold, isSet);
      return EventWait::Signalled;
    }
    return changed.wait_for(hold, std::chrono::milliseconds(timeoutMs), isSet) ? EventWait::Signalled
                                                                               : EventWait::TimedOut;
  }

 private:
  std::mutex lock;
  std::condition_variable changed;
  bool signalled = false;
};

}  // namespace

bool RunServiceDispatcher(const wchar_t*, ServiceMainEntry serviceMain) {
  const char* notifySocket = std::getenv("NOTIFY_SOCKET");
  if (notifySocket == nullptr || *notifySocket == '\0') return false;

  // Blocked here, before any other thread exists, the stop signals stay
  // blocked in every thread of the run, so the handler that the event loop
  // installs never sees them and each one reaches the control handler below.
  // They stay blocked until the process exits: a late signal must not end it
  // with another code than the tracker's.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  const int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
  dispatcher.wakeFd = eventfd(0, EFD_CLOEXEC);
  if (signalFd < 0 || dispatcher.wakeFd < 0) return false;

  std::thread mainThread;
  try {
    mainThread = std::thread([serviceMain] {
      serviceMain();
      dispatcher.mainDone.store(true);
      dispatcher.Wake();
    });
  } catch (const std::system_error&) {
    return false;  // as a dispatcher that could not start its service thread
  }
  DispatchSignals(signalFd);
  mainThread.join();
  close(signalFd);
  return true;
}

ServiceStatusSink* RegisterServiceControl(const wchar_t*, ServiceControlEntry handler) {
  const char* notifySocket = std::getenv("NOTIFY_SOCKET");
  if (notifySocket == nullptr || !dispatcher.sink.Open(notifySocket)) return nullptr;
  dispatcher.handler.store(handler);
  dispatcher.Wake();
  return &dispatcher.sink;
}

std::unique_ptr<ManualEvent> CreateManualEvent() { return std::make_unique<ConditionEvent>(); }

bool InstallService(const ServiceDefinition& service) {
  const std::string programPath = ProgramPath();
  if (programPath.empty()) return false;
  const std::wstring commandLine = service.commandLine(Widen(programPath));
  const std::string text = Narrow(service.unitText(commandLine));
  const std::string path = UnitPath(service.name);
  // O_EXCL makes "already installed" and "written now" one atomic decision.
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return errno == EEXIST;
  const bool written = WriteAll(fd, text);
  if (close(fd) != 0 || !written) {
    unlink(path.c_str());
    return false;
  }
  // The unit file is the registration; like the failure-action settings on
  // Windows, what systemctl makes of it is not examined. Without a running
  // systemd the reload fails, and the unit is loaded at the next boot.
  Systemctl({"daemon-reload"});
  Systemctl({"enable", UnitName(service.name)});
  return true;
}

bool RemoveService(const wchar_t* serviceName) {
  const std::string path = UnitPath(serviceName);
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return false;
  Systemctl({"stop", "--no-block", UnitName(serviceName)});
  Systemctl({"disable", UnitName(serviceName)});
  const bool removed = unlink(path.c_str()) == 0;
  Systemctl({"daemon-reload"});
  return removed;
}

}  // namespace platform
