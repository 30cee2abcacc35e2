#include "log/log.h"

#include <ctime>
#include <mutex>
#include <string>

#include "log/loop_clock.h"
#include "platform/local_time.h"

namespace lattice {
namespace {
std::mutex logMutex;
std::FILE* logStream = nullptr;

constexpr std::size_t kLineBuffer = 1024;
}  // namespace

void FormatLocalTime(std::int64_t seconds, char* buffer, std::size_t size) {
  std::tm local{};
  if (!platform::ToLocalTime(seconds, &local) ||
      std::strftime(buffer, size, "%Y-%m-%d %H:%M:%S", &local) == 0) {
    if (size > 0) buffer[0] = '\0';
  }
}

void SetLogStreamForTesting(std::FILE* stream) {
  std::lock_guard<std::mutex> lock(logMutex);
  logStream = stream;
}

void LogV(const char* composedFormat, std::va_list args) {
  char line[kLineBuffer];
  int written = std::vsnprintf(line, sizeof line, composedFormat, args);
  // A negative result is a formatting failure; one that does not fit would
  // have been cut, and a cut line is dropped instead.
  if (written < 0 || static_cast<std::size_t>(written) >= sizeof line) return;
  std::string text(line, static_cast<std::size_t>(written));
  std::lock_guard<std::mutex> lock(logMutex);
  std::FILE* out = logStream != nullptr ? logStream : stdout;
  std::fwrite(text.data(), 1, text.size(), out);
}

void Log(const char* format, ...) {
  char stamp[200];
  FormatLocalTime(LoopClock(), stamp, sizeof stamp);
  // The stamp becomes part of the format; it holds no per-cent sign, while
  // per-cent signs inside arguments are never formatted a second time.
  std::string composed;
  composed.reserve(32 + std::char_traits<char>::length(format));
  composed.append(stamp).append(" ").append(format).append("\n");
  std::va_list args;
  va_start(args, format);
  LogV(composed.c_str(), args);
  va_end(args);
}

}  // namespace lattice
