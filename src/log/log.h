// Time-stamped log lines on standard output.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace lattice {

#if defined(__GNUC__)
#define LATTICE_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define LATTICE_PRINTF(fmt, args)
#endif

// Writes "<local time> <message>\n". Lines longer than 1023 characters are
// dropped whole rather than cut, so a truncated line never reaches the reader.
void Log(const char* format, ...) LATTICE_PRINTF(1, 2);
void LogV(const char* composedFormat, std::va_list args);

// Formats seconds since 1970 as "%Y-%m-%d %H:%M:%S" in local time.
void FormatLocalTime(std::int64_t seconds, char* buffer, std::size_t size);

// Tests capture log lines by pointing them at a file of their own.
void SetLogStreamForTesting(std::FILE* stream);

}  // namespace lattice
