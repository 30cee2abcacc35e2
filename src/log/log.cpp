#include "log/log.h"

#include <ctime>
#include <string>

#include "log/log_output.h"
#include "log/loop_clock.h"
#include "platform/local_time.h"

namespace lattice {
namespace {
constexpr std::size_t kLineBuffer = 1024;
}  // namespace

void FormatLocalTime(std::int64_t seconds, char* buffer, std::size_t size) {
  std::tm local{};
  if (!platform::ToLocalTime(seconds, &local) ||
      std::strftime(buffer, size, "%Y-%m-%d %H:%M:%S", &local) == 0) {
    if (size > 0) buffer[0] = '\0';
  }
}

void LogV(const char* composedFormat, std::va_list args) {
  char line[kLineBuffer];
  int written = std::vsnprintf(line, sizeof line, composedFormat, args);
  // A negative result is a formatting failure; one that does not fit would
  // have been cut, and a cut line is dropped instead.
  if (written < 0 || static_cast<std::size_t>(written) >= sizeof line) return;
  EmitOutput(std::string_view(line, static_cast<std::size_t>(written)));
}

void PrintUnstamped(std::string_view text) { EmitOutput(text); }

namespace {

void LogComposedV(const char* format, std::va_list args) {
  char stamp[200];
  FormatLocalTime(LoopClock(), stamp, sizeof stamp);
  // The stamp becomes part of the format; it holds no per-cent sign, while
  // per-cent signs inside arguments are never formatted a second time.
  std::string composed;
  composed.reserve(32 + std::char_traits<char>::length(format));
  composed.append(stamp).append(" ").append(format).append("\n");
  LogV(composed.c_str(), args);
}

}  // namespace

void Log(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  LogComposedV(format, args);
  va_end(args);
}

void LogLimited(LogLimiter& limiter, const char* format, ...) {
  const std::int64_t now = LoopClock();
  if (now != limiter.second) {
    limiter.second = now;
    limiter.inSecond = 0;
  }
  if (limiter.inSecond >= LogLimiter::kLinesPerSecond) {
    ++limiter.suppressed;
    return;
  }
  ++limiter.inSecond;
  std::va_list args;
  va_start(args, format);
  LogComposedV(format, args);
  va_end(args);
  if (limiter.suppressed != 0) {
    Log("(%llu more lines like the one above were suppressed)", static_cast<unsigned long long>(limiter.suppressed));
    limiter.suppressed = 0;
  }
}

void AppendFormat(std::string& text, const char* format, ...) {
  char buffer[2048];
  std::va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n > 0) text.append(buffer, std::min(static_cast<std::size_t>(n), sizeof buffer - 1));
}

}  // namespace lattice
