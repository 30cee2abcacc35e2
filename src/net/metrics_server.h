// The metrics endpoint: a listener with its own accept thread, and small
// HTTP connections served through the loop's completion port. Each
// connection answers one request and closes; none counts as a client of the
// tracker (statistics, admission, limits).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "net/io_port_context.h"
#include "net/listening_sockets.h"
#include "net/io_object.h"
#include "platform/io_port.h"
#include "tracker/metrics_text.h"

namespace lattice {

// More at once are closed as they arrive.
inline constexpr std::size_t kMaxMetricsConnections = 16;
// A connection gets this long, from its accept, for its whole exchange.
inline constexpr std::int64_t kMetricsTimeoutSeconds = 5;
// A longer request head is answered 400.
inline constexpr std::size_t kMaxRequestHeadBytes = 4096;

// What start-up hands the loop: the listening socket (kInvalidSocket for no
// endpoint; the loop sets it so once it has closed it) and the fixed facts.
struct MetricsSetup {
  platform::SocketHandle listener = platform::kInvalidSocket;
  MetricsFacts facts;
};

// Opens a listening TCP socket on the host and port; kInvalidSocket with the
// reason in errorText when it cannot.
platform::SocketHandle OpenMetricsListener(const std::wstring& host, const std::wstring& port, std::string& errorText);

class MetricsServer;

class MetricsConnection final : public IoObject {
 public:
  MetricsConnection(platform::SocketHandle handle, IoPortContext* loop, MetricsServer& server);

  bool IsExpired(std::int64_t now) const { return now - acceptedAt > kMetricsTimeoutSeconds; }
  void Close();
  bool Closed() const { return closed; }
  std::uint32_t TransfersInFlight() const { return transfersInFlight; }

  // Starts reading the request; false when the connection is to be closed.
  bool Start() { return PostReceive(); }
  // Every completion of this object's records, also after Close.
  void OnCompletion(const platform::Completion& completion) override;

 private:
  enum class Phase { Reading, Writing, Draining };

  bool PostReceive();
  bool PostSend();
  void OnReceived(std::uint32_t bytes);
  void OnSent(std::uint32_t bytes);
  void Respond(int status);
  void FinishResponse();

  const platform::SocketHandle handle;
  IoPortContext* const loop;
  MetricsServer& server;
  std::int64_t acceptedAt;
  bool closed = false;
  Phase phase = Phase::Reading;
  platform::IoRecord recvRecord;
  platform::IoRecord sendRecord;
  std::uint32_t transfersInFlight = 0;
  std::size_t headBytes = 0;
  std::uint32_t drainedBytes = 0;
  std::string response;
  std::size_t sentBytes = 0;
  char head[kMaxRequestHeadBytes];
};

class MetricsServer {
 public:
  // Starts the accept thread when setup has a listener.
  MetricsServer(IoPortContext& loop, MetricsSetup& setup);
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  // Takes the connections the accept thread queued; every pass calls it.
  void TakeAcceptedConnections();
  // Closes connections past their time and destroys closed ones whose
  // transfers have all reported; cheap, as there are at most 16 open.
  void CloseExpired(std::int64_t now);
  // Ends the accept thread and closes the listener and every connection.
  void Stop();
  bool TransfersInFlight() const;
  // Destroys what is left whose transfers have all reported; the rest the
  // system may still write into, so it is left allocated.
  ~MetricsServer();

  // Called by a connection's Close.
  void Forget(MetricsConnection* connection);
  // Appends the metrics page as it is now.
  void WritePage(std::string& out) const;

 private:
  IoPortContext& loop;
  MetricsSetup& setup;
  void TakeAcceptedConnection(AcceptRecord* record);

  AcceptQueue queue;
  std::unique_ptr<AcceptThread> acceptThread;
  std::vector<MetricsConnection*> open;
  // Closed, kept until their transfers have reported.
  std::vector<MetricsConnection*> closing;
  std::uint64_t refused = 0;
  LogLimiter attachErrorLines;
};

}  // namespace lattice
