// Connections to the nodes: made by the connector, authenticated, watched
// for stalls, broken and made again with back-off.
#include <algorithm>

#include "cluster/engine_state.h"

namespace lattice::cluster {
namespace {

const char* KindOf(const Connection& c) { return c.subscriber ? "subscriber" : "command"; }

std::string Encode(std::initializer_list<std::string_view> words) {
  std::vector<const char*> argv;
  std::vector<std::size_t> lengths;
  for (std::string_view w : words) {
    argv.push_back(w.data());
    lengths.push_back(w.size());
  }
  char* encoded = nullptr;
  const int length = redisFormatCommandArgv(&encoded, static_cast<int>(argv.size()), argv.data(), lengths.data());
  if (length < 0) return {};
  std::string out(encoded, static_cast<std::size_t>(length));
  redisFreeCommand(encoded);
  return out;
}

}  // namespace

Connection::~Connection() {
  if (reader != nullptr) redisReaderFree(reader);
}

void Connection::OnLinkBytes(const std::uint8_t* data, std::size_t length) {
  state.stats.bytesReceived += length;
  redisReaderFeed(reader, reinterpret_cast<const char*>(data), length);
}

void Connection::OnLinkReadDone() { state.DrainReplies(*this); }

void Connection::OnLinkBroken() { state.Break(*this, "closed", SteadyMilliseconds()); }

bool EngineState::Wanted(const Connection& c) const {
  const Node& n = c.node;
  if (c.subscriber) return n.primary && n.subscriberWanted;
  if (n.primary) return true;
  // Seeds only until some node answers for the map.
  if (!n.seed) return false;
  for (const auto& [name, node] : nodes)
    if (node->primary && node->command.status == LinkStatus::Up) return false;
  return true;
}

void EngineState::StartConnect(Connection& c) {
  c.status = LinkStatus::Connecting;
  c.connectToken = nextToken++;
  connector->Request(c.connectToken, c.node.address.host, c.node.address.port);
}

void EngineState::TakeConnects(std::int64_t now) {
  EngineConnectResult result;
  while (connector->Take(result)) {
    Connection* target = nullptr;
    for (auto& [name, node] : nodes)
      for (Connection* c : {&node->command, &node->subscriber})
        if (c->status == LinkStatus::Connecting && c->connectToken == result.token) target = c;
    if (target == nullptr) {
      if (result.handle != platform::kInvalidSocket) platform::CloseSocket(nullptr, result.handle);
      continue;
    }
    if (result.handle == platform::kInvalidSocket) {
      ++stats.connectsFailed;
      if (++target->failures == 1)
        LogLimited(linkLines, "engine: cannot connect the %s link to %s: %s", KindOf(*target),
                   target->node.name.c_str(), result.error.c_str());
      target->status = LinkStatus::Down;
      ScheduleRetry(*target, now);
      continue;
    }
    ++stats.connectsMade;
    LinkMade(*target, result.handle, now);
  }
}

void EngineState::LinkMade(Connection& c, platform::SocketHandle handle, std::int64_t now) {
  if (c.reader != nullptr) redisReaderFree(c.reader);
  c.reader = redisReaderCreate();
  c.expected.clear();
  c.subscribing.clear();
  c.link = std::make_unique<EngineLink>(handle, loop, &c);
  c.status = LinkStatus::Handshake;
  if (!c.link->Open()) {
    Break(c, "could not be attached", now);
    return;
  }
  if (options.password.empty()) {
    MarkUp(c, now);
    return;
  }
  c.expected.push_back({Expected::Auth, 0, now});
  if (options.user.empty()) {
    Send(c, Encode({"AUTH", options.password}), now);
  } else {
    Send(c, Encode({"AUTH", options.user, options.password}), now);
  }
}

void EngineState::MarkUp(Connection& c, std::int64_t now) {
  c.status = LinkStatus::Up;
  c.backoffMs = kFirstBackoffMs;
  if (c.failures > 1) {
    LogLimited(linkLines, "engine: %s link to %s up (after %u failed connects)", KindOf(c), c.node.name.c_str(),
               c.failures);
  } else {
    LogLimited(linkLines, "engine: %s link to %s up", KindOf(c), c.node.name.c_str());
  }
  c.failures = 0;
  if (c.subscriber) subscribeDueMs = now;
}

void EngineState::OnAuthReply(Connection& c, const redisReply& reply, std::int64_t now) {
  if (reply.type != REDIS_REPLY_ERROR) {
    MarkUp(c, now);
    return;
  }
  LogLimited(authLines, "engine: %s refused AUTH: %.*s", c.node.name.c_str(), static_cast<int>(reply.len), reply.str);
  // Not a back-off reset: a wrong password stays wrong until someone fixes it.
  c.failures = std::max<std::uint32_t>(c.failures, 1);
  Break(c, "AUTH refused", now);
}

void EngineState::Break(Connection& c, const char* reason, std::int64_t now) {
  if (!c.Carries()) return;
  const bool wasUp = c.status == LinkStatus::Up;
  if (c.link) {
    c.link->Close();
    retired.push_back(std::move(c.link));
  }
  std::vector<Expected> owed(c.expected.begin(), c.expected.end());
  c.expected.clear();
  c.subscribing.clear();
  c.status = LinkStatus::Down;
  ScheduleRetry(c, now);
  for (const Expected& e : owed) {
    if (e.kind == Expected::Call) Fail(e.id, CallOutcome::Unreachable);
    if (e.kind == Expected::Slots && e.id == refreshGeneration) refreshInFlight = false;
  }
  if (c.subscriber) DropSubscriptions(c.node, now);
  // A failover shows as its primary gone; only the map tells who took over.
  refreshWanted = true;
  if (wasUp) LogLimited(linkLines, "engine: %s link to %s down (%s)", KindOf(c), c.node.name.c_str(), reason);
}

void EngineState::ScheduleRetry(Connection& c, std::int64_t now) {
  // +-20 %, so links that broke together do not all come back together.
  std::uniform_int_distribution<std::int64_t> spread(c.backoffMs * 8 / 10, c.backoffMs * 12 / 10);
  c.retryAtMs = now + spread(jitter);
  c.backoffMs = std::min(c.backoffMs * 2, kLastBackoffMs);
}

void EngineState::Reconnect(std::int64_t now) {
  for (auto& [name, node] : nodes) {
    for (Connection* c : {&node->command, &node->subscriber}) {
      const bool due = c->status == LinkStatus::Idle || (c->status == LinkStatus::Down && now >= c->retryAtMs);
      if (due && Wanted(*c)) StartConnect(*c);
    }
  }
}

std::int64_t EngineState::StallLimitMs() const { return std::max<std::int64_t>(2000, 10 * options.deadlineMs); }

void EngineState::BreakStalled(std::int64_t now) {
  // A frozen node still takes connections and bytes; only its silence shows.
  const std::int64_t limit = StallLimitMs();
  for (auto& [name, node] : nodes)
    for (Connection* c : {&node->command, &node->subscriber})
      if (c->Carries() && !c->expected.empty() && now - c->expected.front().sentMs >= limit)
        Break(*c, "no answer", now);
}

void EngineState::Send(Connection& c, std::string_view bytes, std::int64_t now) {
  stats.bytesSent += bytes.size();
  if (!c.link->Send(bytes.data(), bytes.size())) Break(c, "send failed", now);
}

void EngineState::DrainReplies(Connection& c) {
  const EngineLink* link = c.link.get();
  const std::int64_t now = SteadyMilliseconds();
  // A callback may break this connection; then what is left is not ours.
  while (link != nullptr && c.link.get() == link && link->Open()) {
    void* parsed = nullptr;
    if (redisReaderGetReply(c.reader, &parsed) != REDIS_OK) {
      Break(c, "protocol error", now);
      return;
    }
    if (parsed == nullptr) return;
    const auto* reply = static_cast<const redisReply*>(parsed);
    if (c.subscriber) {
      OnSubscriberReply(c, *reply, now);
    } else {
      OnCommandReply(c, *reply, now);
    }
    freeReplyObject(parsed);
  }
}

void EngineState::OnCommandReply(Connection& c, const redisReply& reply, std::int64_t now) {
  if (c.expected.empty()) {
    Break(c, "answer to nothing", now);
    return;
  }
  const Expected e = c.expected.front();
  c.expected.pop_front();
  switch (e.kind) {
    case Expected::Call:
      OnCallReply(e.id, reply, now);
      break;
    case Expected::Auth:
      OnAuthReply(c, reply, now);
      break;
    case Expected::Slots:
      OnSlots(c, e.id, reply, now);
      break;
    case Expected::Asking:
    case Expected::Subscribe:
      break;
  }
}

void EngineState::FreeRetired() {
  std::erase_if(retired, [](const std::unique_ptr<EngineLink>& link) { return link->TransfersInFlight() == 0; });
}

}  // namespace lattice::cluster
