#include "net/metrics_server.h"

#include <algorithm>
#include <cstdio>
#include <thread>

#include "log/log.h"
#include "net/http_request.h"
#include "platform/process_metrics.h"
#include "platform/socket_api.h"

namespace lattice {
namespace {

// What a finished exchange may still read from its client before it is cut
// off, so closing with unread bytes does not reset the connection under the
// response.
constexpr std::uint32_t kMaxDrainBytes = 64 * 1024;
// Room for a whole page in the kernel: the response leaves in few sends.
constexpr std::int32_t kConnectionBufferBytes = 256 * 1024;

const char* ReasonPhrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 404:
      return "Not Found";
    default:
      return "Method Not Allowed";
  }
}

}  // namespace

platform::SocketHandle OpenMetricsListener(const std::wstring& host, const std::wstring& port, std::string& errorText) {
  platform::ResolvedAddress a;
  if (!platform::ResolveListenAddress(host, port, a, errorText)) return platform::kInvalidSocket;
  platform::SocketHandle h = platform::CreateSocket(a.family, a.socketType, a.protocol);
  if (h == platform::kInvalidSocket) {
    errorText = platform::LastSocketErrorText();
    return h;
  }
  platform::AllowRebindAfterRestart(h);
  if (!platform::BindSocket(h, a.address, a.addressLength) || !platform::ListenSocket(h)) {
    errorText = platform::LastSocketErrorText();
    platform::CloseSocket(nullptr, h);
    return platform::kInvalidSocket;
  }
  return h;
}

MetricsConnection::MetricsConnection(platform::SocketHandle handleValue, IoPortContext* loopContext,
                                     MetricsServer& owner)
    : handle(handleValue), loop(loopContext), server(owner), acceptedAt(loopContext->tracker.now) {
  PrepareOwnedRecord(&recvRecord, loop->readTag, this);
  PrepareOwnedRecord(&sendRecord, loop->writeTag, this);
}

void MetricsConnection::Close() {
  if (closed) return;
  closed = true;
  server.Forget(this);
  platform::CancelTransfer(loop->port, handle, &recvRecord);
  platform::CloseSocket(loop->port, handle);
}

bool MetricsConnection::PostReceive() {
  // Draining reads go to the same buffer; what they bring is not kept.
  const bool draining = phase == Phase::Draining;
  char* buffer = draining ? head : head + headBytes;
  const auto length = static_cast<std::uint32_t>(draining ? sizeof head : sizeof head - headBytes);
  platform::IoResult r = platform::StartReceive(loop->port, handle, &recvRecord, buffer, length);
  if (r.status == platform::IoStatus::Failed) return false;
  ++transfersInFlight;
  // An immediate end of stream still reports its completion later.
  return !(r.status == platform::IoStatus::CompletedAtOnce && r.bytes == 0);
}

bool MetricsConnection::PostSend() {
  const std::size_t left = response.size() - sentBytes;
  const auto length = static_cast<std::uint32_t>(std::min<std::size_t>(left, 1u << 20));
  platform::IoResult r = platform::StartSend(loop->port, handle, &sendRecord, response.data() + sentBytes, length);
  if (r.status == platform::IoStatus::Failed) return false;
  ++transfersInFlight;
  return true;
}

void MetricsConnection::OnCompletion(const platform::Completion& c) {
  --transfersInFlight;
  if (closed) return;
  // End of stream, or a transfer that failed.
  if (c.bytes == 0) {
    Close();
    return;
  }
  if (platform::TagOf(c.record) == loop->readTag) {
    OnReceived(c.bytes);
  } else {
    OnSent(c.bytes);
  }
}

void MetricsConnection::OnReceived(std::uint32_t bytes) {
  if (phase == Phase::Draining) {
    drainedBytes += bytes;
    if (drainedBytes > kMaxDrainBytes || !PostReceive()) Close();
    return;
  }
  if (phase != Phase::Reading) return;
  headBytes += bytes;
  RequestHead request;
  switch (ParseRequestHead(std::string_view(head, headBytes), request)) {
    case HeadStatus::Complete:
      // An unknown path is unknown whatever the method.
      if (request.path != "/metrics") {
        Respond(404);
      } else {
        Respond(request.method == "GET" ? 200 : 405);
      }
      return;
    case HeadStatus::Malformed:
      Respond(400);
      return;
    case HeadStatus::Incomplete:
      break;
  }
  if (headBytes == sizeof head) {
    Respond(400);
  } else if (!PostReceive()) {
    Close();
  }
}

void MetricsConnection::Respond(int status) {
  std::string body;
  const char* type = "text/plain; charset=utf-8";
  if (status == 200) {
    server.WritePage(body);
    type = "text/plain; version=0.0.4; charset=utf-8";
  } else {
    body = std::to_string(status) + " " + ReasonPhrase(status) + "\n";
  }
  char header[256];
  const int n = std::snprintf(
      header, sizeof header,
      "HTTP/1.0 %d %s\r\nContent-Type: %s\r\nContent-Length: %llu\r\n%sConnection: close\r\n\r\n", status,
      ReasonPhrase(status), type, static_cast<unsigned long long>(body.size()), status == 405 ? "Allow: GET\r\n" : "");
  response.reserve(static_cast<std::size_t>(n) + body.size());
  response.assign(header, static_cast<std::size_t>(n));
  response += body;
  phase = Phase::Writing;
  if (!PostSend()) Close();
}

void MetricsConnection::OnSent(std::uint32_t bytes) {
  sentBytes += bytes;
  if (sentBytes < response.size()) {
    if (!PostSend()) Close();
    return;
  }
  FinishResponse();
}

// The client reads the response, then end of stream; what it still sends
// is read and dropped until it closes or its time runs out.
void MetricsConnection::FinishResponse() {
  std::string().swap(response);
  platform::ShutdownSend(handle);
  phase = Phase::Draining;
  if (!PostReceive()) Close();
}

MetricsServer::MetricsServer(IoPortContext& loopContext, MetricsSetup& metricsSetup)
    : loop(loopContext), setup(metricsSetup) {
  if (setup.listener == platform::kInvalidSocket) return;
  open.reserve(kMaxMetricsConnections);
  // Its own hand-off and counters, so metrics clients never show in the
  // tracker's refusals.
  queue.connectionBufferBytes = kConnectionBufferBytes;
  acceptThread = std::make_unique<AcceptThread>(setup.listener, loop.port, queue);
}

void MetricsServer::TakeAcceptedConnections() {
  if (!queue.Waiting()) return;
  while (AcceptRecord* record = queue.Pop()) TakeAcceptedConnection(record);
}

void MetricsServer::TakeAcceptedConnection(AcceptRecord* record) {
  const platform::SocketHandle h = record->handle;
  delete record;
  if (open.size() >= kMaxMetricsConnections) {
    ++refused;
    platform::CloseSocket(nullptr, h);
    return;
  }
  int error = 0;
  if (!platform::AttachSocket(loop.port, h, h, &error)) {
    LogLimited(attachErrorLines, "metrics: failed to assign IO completion port to a connection (%d)", error);
    platform::CloseSocket(nullptr, h);
    return;
  }
  platform::DisableCoalescing(h);
  auto* connection = new MetricsConnection(h, &loop, *this);
  open.push_back(connection);
  if (!connection->Start()) connection->Close();
}

void MetricsServer::CloseExpired(std::int64_t now) {
  // Close takes the connection out of the list, so walk it from the end.
  for (std::size_t i = open.size(); i-- > 0;)
    if (i < open.size() && open[i]->IsExpired(now)) open[i]->Close();
  std::erase_if(closing, [](MetricsConnection* c) {
    if (c->TransfersInFlight() != 0) return false;
    delete c;
    return true;
  });
}

void MetricsServer::Stop() {
  if (acceptThread != nullptr) {
    queue.stopping.store(true, std::memory_order_relaxed);
    acceptThread->Stop();
    acceptThread.reset();
    setup.listener = platform::kInvalidSocket;
  }
  while (!open.empty()) open.back()->Close();
}

bool MetricsServer::TransfersInFlight() const {
  for (const MetricsConnection* c : closing)
    if (c->TransfersInFlight() != 0) return true;
  return false;
}

MetricsServer::~MetricsServer() {
  // Stop closed every connection; whatever the system may still write into
  // stays allocated, as leaking at exit is safe and freeing it is not.
  for (MetricsConnection* c : closing)
    if (c->TransfersInFlight() == 0) delete c;
}

void MetricsServer::Forget(MetricsConnection* connection) {
  auto it = std::find(open.begin(), open.end(), connection);
  if (it != open.end()) open.erase(it);
  closing.push_back(connection);
}

void MetricsServer::WritePage(std::string& out) const {
  MetricsFacts facts = setup.facts;
  facts.platform = platform::kPlatformName;
  facts.ioBackend = platform::IoBackendName(loop.port);
  facts.residentBytes = platform::ResidentMemoryBytes();
  facts.allocatedBytes = platform::AllocatedMemoryBytes();
  facts.cpuNanoseconds = platform::CpuNanoseconds();
  facts.openDescriptors = platform::OpenDescriptors();
  facts.maxDescriptors = platform::MaxDescriptors();
  facts.logLinesDropped = LogLinesDropped();
  facts.connectionsRefused = refused;
  WriteMetricsText(loop.tracker, facts, out);
}

}  // namespace lattice
