#include "log/log_output.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "log/log.h"
#include "log/log_queue.h"
#include "log/loop_clock.h"
#include "platform/standard_output.h"

namespace lattice {
namespace {

struct Output {
  std::mutex mutex;
  std::condition_variable wake;  // the writer waits for text or a stop
  std::condition_variable idle;  // flushes and stops wait for the writer
  LogQueue queue{kLogQueueBytes};
  std::FILE* testStream = nullptr;
  bool queued = false;        // callers queue instead of writing
  bool writerAlive = false;
  bool stopWriter = false;    // the writer ends once the queue is empty
  bool writing = false;       // the writer holds text not yet written
  std::uint64_t droppedTotal = 0;
};

constexpr std::size_t kKeptBatchBytes = 64 * 1024;

// Never destroyed: a writer still stuck in a write while the process exits
// goes on referring to it.
Output& State() {
  static Output* output = new Output;
  return *output;
}

void WriteOut(std::FILE* testStream, std::string_view text) {
  if (testStream == nullptr) {
    // Failures are ignored: logging never stops the tracker.
    platform::WriteStandardOutput(text.data(), text.size());
    return;
  }
  std::fwrite(text.data(), 1, text.size(), testStream);
  std::fflush(testStream);
}

void WriterLoop(Output& s) {
  std::string batch;
  std::unique_lock<std::mutex> lock(s.mutex);
  for (;;) {
    s.wake.wait(lock, [&] { return !s.queue.Empty() || s.stopWriter; });
    if (s.queue.Empty()) break;
    s.queue.Take(&batch, LoopClock());
    std::FILE* stream = s.testStream;
    s.writing = true;
    lock.unlock();
    WriteOut(stream, batch);
    // After a burst the buffer goes back, rather than staying at its peak.
    if (batch.capacity() > kKeptBatchBytes) std::string().swap(batch);
    lock.lock();
    s.writing = false;
    s.idle.notify_all();
  }
  s.writerAlive = false;
  s.idle.notify_all();
}

}  // namespace

void EmitOutput(std::string_view text) {
  Output& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.queued) {
    WriteOut(s.testStream, text);
    return;
  }
  // The writer sleeps only on an empty queue, so only then is a wake needed.
  const bool wasEmpty = s.queue.Empty();
  if (!s.queue.Push(text)) ++s.droppedTotal;
  if (wasEmpty) s.wake.notify_one();
}

std::uint64_t LogLinesDropped() {
  Output& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.droppedTotal;
}

void SetLogStreamForTesting(std::FILE* stream) {
  Output& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.testStream = stream;
}

bool StartLogWriter() {
  Output& s = State();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (!s.writerAlive) {
    // What went out through the stream so far must precede the writer's
    // output, which bypasses the stream's buffer.
    std::fflush(stdout);
    try {
      std::thread([&s] { WriterLoop(s); }).detach();
    } catch (const std::system_error&) {
      return false;
    }
    s.writerAlive = true;
  }
  s.stopWriter = false;
  s.queued = true;
  return true;
}

bool FlushLog(std::chrono::milliseconds timeout) {
  Output& s = State();
  std::unique_lock<std::mutex> lock(s.mutex);
  return s.idle.wait_for(lock, timeout, [&] { return !s.writerAlive || (s.queue.Empty() && !s.writing); });
}

bool StopLogWriter(std::chrono::milliseconds timeout) {
  Output& s = State();
  std::unique_lock<std::mutex> lock(s.mutex);
  s.stopWriter = true;
  s.wake.notify_one();
  if (s.idle.wait_for(lock, timeout, [&] { return !s.writerAlive; })) {
    s.queued = false;
    s.stopWriter = false;
    return true;
  }
  // Stuck in a write: it stays, and so does the queue, so that whoever logs
  // later is not stuck too.
  s.stopWriter = false;
  return false;
}

}  // namespace lattice
