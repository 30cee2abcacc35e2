// What the engine client tests share: a loop like the tracker's around one
// client, and Redis servers on loopback, started here and stopped by pid.
#pragma once

#include <gtest/gtest.h>
#include <hiredis/hiredis.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cluster/engine_client.h"
#include "log/loop_clock.h"
#include "net/io_object.h"
#include "net/io_port_context.h"
#include "platform/io_port.h"
#include "tracker/tracker.h"

namespace lattice::cluster::test {

inline std::string Shell(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
    pclose(p);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

inline std::string Cli(int port, const std::string& args) {
  return Shell("redis-cli -p " + std::to_string(port) + " " + args + " 2>&1");
}

struct Result {
  CallOutcome outcome = CallOutcome::Unreachable;
  int reports = 0;
  int type = 0;
  std::string text;
  long long integer = 0;
  std::int64_t startMs = 0;
  std::int64_t endMs = 0;
};

// One client driven as the tracker's loop drives it: wait on the port no
// longer than the client allows, dispatch, run its timers.
class Harness {
 public:
  Harness() : context(tracker) {
    int error = 0;
    context.port = platform::CreateIoPort(std::getenv("LATTICE_IO_BACKEND"), &error);
    EXPECT_NE(context.port, nullptr) << error;
    context.readTag = platform::CreateIoTag();
    context.writeTag = platform::CreateIoTag();
  }
  ~Harness() {
    if (client) Shutdown();
    platform::CloseIoTag(context.readTag);
    platform::CloseIoTag(context.writeTag);
    platform::CloseIoPort(context.port);
  }

  void Start(EngineOptions options) { client = std::make_unique<EngineClient>(context, std::move(options), this, &OnMessage); }

  void Pass(int maxWaitMs = 100) {
    RefreshLoopClock();  // as the loop does: log rate limits go by it
    const int wait = client->MillisecondsToNextTimer(SteadyMilliseconds(), maxWaitMs);
    EXPECT_GE(wait, 0);
    EXPECT_LE(wait, maxWaitMs);
    int count = 0;
    int error = 0;
    platform::WaitForCompletions(context.port, batch, 256, wait, &count, &error);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i)
      if (batch[i].record != nullptr) OwnerOfRecord(batch[i].record)->OnCompletion(batch[i]);
    client->RunTimers(SteadyMilliseconds());
    const auto work = std::chrono::steady_clock::now() - start;
    longestPassMs = std::max<std::int64_t>(longestPassMs,
                                           std::chrono::duration_cast<std::chrono::milliseconds>(work).count());
  }

  bool RunUntil(const std::function<bool()>& done, int timeoutMs) {
    const std::int64_t end = SteadyMilliseconds() + timeoutMs;
    while (!done()) {
      if (SteadyMilliseconds() > end) return false;
      Pass();
    }
    return true;
  }

  // The cookie of an accepted call, 0 when refused.
  std::uint64_t Call(const std::string& key, const std::vector<std::string>& args) {
    std::vector<const char*> argv;
    std::vector<std::size_t> lengths;
    for (const std::string& a : args) {
      argv.push_back(a.data());
      lengths.push_back(a.size());
    }
    const std::uint64_t cookie = ++lastCookie;
    const std::int64_t start = SteadyMilliseconds();
    if (!client->Call(key, static_cast<int>(args.size()), argv.data(), lengths.data(), &OnDone, cookie)) return 0;
    results[cookie].startMs = start;
    return cookie;
  }

  bool Ended(std::uint64_t cookie) { return results[cookie].reports > 0; }

  // The answer to one command, calling until the client takes it.
  Result Ask(const std::string& key, const std::vector<std::string>& args, int timeoutMs = 3000) {
    std::uint64_t cookie = 0;
    RunUntil([&] { return (cookie = Call(key, args)) != 0; }, timeoutMs);
    if (cookie == 0) return {};
    RunUntil([&] { return Ended(cookie); }, timeoutMs);
    return results[cookie];
  }

  void Shutdown() {
    client->Stop();
    const std::int64_t end = SteadyMilliseconds() + 1000;
    while (client->TransfersInFlight() && SteadyMilliseconds() < end) Pass(20);
    EXPECT_FALSE(client->TransfersInFlight());
    client.reset();
  }

  static void OnDone(void* owner, std::uint64_t cookie, CallOutcome outcome, const redisReply* reply) {
    Result& r = static_cast<Harness*>(owner)->results[cookie];
    EXPECT_EQ(++r.reports, 1) << "call " << cookie << " reported twice";
    r.outcome = outcome;
    r.endMs = SteadyMilliseconds();
    EXPECT_EQ(reply != nullptr, outcome == CallOutcome::Replied);
    if (reply == nullptr) return;
    r.type = reply->type;
    r.integer = reply->integer;
    if (reply->str != nullptr) r.text.assign(reply->str, reply->len);
  }
  static void OnMessage(void* owner, std::string_view channel, std::string_view payload) {
    static_cast<Harness*>(owner)->messages.emplace_back(std::string(channel), std::string(payload));
  }

  Tracker tracker;
  IoPortContext context;
  std::unique_ptr<EngineClient> client;
  platform::Completion batch[256];
  std::map<std::uint64_t, Result> results;
  std::vector<std::pair<std::string, std::string>> messages;
  std::uint64_t lastCookie = 0;
  std::int64_t longestPassMs = 0;
};

inline EngineOptions Seeds(const std::vector<int>& ports) {
  EngineOptions options;
  for (int p : ports) options.seeds.push_back({"127.0.0.1", static_cast<std::uint16_t>(p)});
  return options;
}

// A key of the given slot range's node, found by trying names in order.
inline std::string KeyIn(const std::string& prefix, std::uint16_t first, std::uint16_t last) {
  for (int i = 0;; ++i) {
    std::string key = prefix + std::to_string(i);
    const std::uint16_t slot = KeySlot(key);
    if (slot >= first && slot <= last) return key;
  }
}

}  // namespace lattice::cluster::test
