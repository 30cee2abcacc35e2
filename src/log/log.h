// Time-stamped log lines on standard output.
#pragma once

#include <chrono>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace lattice {

#if defined(__GNUC__)
#define LATTICE_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define LATTICE_PRINTF(fmt, args)
#endif

// Writes "<local time> <message>\n". Lines longer than 1023 characters are
// dropped whole rather than cut, so a truncated line never reaches the reader.
// Safe from any thread; while the writer runs it only queues the line.
void Log(const char* format, ...) LATTICE_PRINTF(1, 2);
void LogV(const char* composedFormat, std::va_list args);

// A rate limit for one kind of line that a remote client can trigger: at most
// kLinesPerSecond lines per loop-clock second get through; the rest are
// counted, and the next line let through is followed by a line saying how
// many were suppressed. Each limiter belongs to one thread, and to the object
// of the run whose lines it limits, so a new run starts with fresh limits.
struct LogLimiter {
  static constexpr std::uint32_t kLinesPerSecond = 5;
  std::int64_t second = -1;
  std::uint32_t inSecond = 0;
  std::uint64_t suppressed = 0;
};
void LogLimited(LogLimiter& limiter, const char* format, ...) LATTICE_PRINTF(2, 3);

// Formats seconds since 1970 as "%Y-%m-%d %H:%M:%S" in local time.
void FormatLocalTime(std::int64_t seconds, char* buffer, std::size_t size);

// Output that carries no time stamp (the start banner, the statistics
// report), written whole and in order with the log lines.
void PrintUnstamped(std::string_view text);

// Appends printf-style text of at most 2 KiB (a report or metrics line) to
// text; what does not fit is cut.
void AppendFormat(std::string& text, const char* format, ...) LATTICE_PRINTF(2, 3);

// Until StartLogWriter, output is written on the calling thread. From then on
// a writer thread of its own writes it, and callers only queue it: a standard
// output that blocks (a full pipe, a paused console) must not stall the event
// loop. The queue holds kLogQueueBytes; what does not fit is dropped, and the
// count follows in a line of its own once the queue has drained. Returns
// false when no thread could be started; output stays on the caller then.
constexpr std::size_t kLogQueueBytes = 1u << 20;
bool StartLogWriter();
// Lines the queue has dropped since the process started, for every run.
std::uint64_t LogLinesDropped();
// Waits at most `timeout` until everything queued is written; true if it was.
bool FlushLog(std::chrono::milliseconds timeout);
// Drains the queue and ends the writer, waiting at most `timeout` so that an
// output nobody reads cannot keep the process from exiting. When the writer
// is stuck in a write it is left running and later lines keep being queued;
// returns false then.
bool StopLogWriter(std::chrono::milliseconds timeout);
constexpr std::chrono::milliseconds kLogDrainTime{2000};

// Tests capture log lines by pointing them at a file of their own (flush the
// writer before switching).
void SetLogStreamForTesting(std::FILE* stream);

}  // namespace lattice
