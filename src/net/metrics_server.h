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
#include "net/socket.h"
#include "platform/io_port.h"
#include "tracker/metrics_text.h"

namespace lattice {

// Set in the completion key of a metrics connection: no handle has it, so
// the loop tells these completions from the tracker's by the key alone.
inline constexpr std::uintptr_t kMetricsKeyBit = std::uintptr_t{1} << (sizeof(std::uintptr_t) * 8 - 1);
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

class MetricsConnection final : public Socket {
 public:
  MetricsConnection(std::uintptr_t handle, IoPortContext* loop, MetricsServer& server);

  int Kind() const override { return MetricsHttp; }
  bool IsExpired(std::int64_t now) const override { return now - acceptedAt > kMetricsTimeoutSeconds; }
  void Close() override;
  std::uint32_t TransfersInFlight() const override { return transfersInFlight; }

  // Starts reading the request; false when the connection is to be closed.
  bool Start() { return PostReceive(); }
  // Every completion of this object's records, also after Close.
  void OnCompletion(bool isRead, std::uint32_t bytes);
  // Counts a completion without acting on it (at shutdown).
  void NoteCompletion() { --transfersInFlight; }

 private:
  enum class Phase { Reading, Writing, Draining };

  bool PostReceive();
  bool PostSend();
  void OnReceived(std::uint32_t bytes);
  void OnSent(std::uint32_t bytes);
  void Respond(int status);
  void FinishResponse();

  MetricsServer& server;
  std::int64_t acceptedAt;
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
  // A completion keyed with kMetricsKeyBit.
  void Dispatch(const platform::Completion& c);
  // The same at shutdown: only the count of transfers is settled.
  void Settle(const platform::Completion& c);
  // Closes connections past their time; cheap, as there are at most 16.
  void CloseExpired(std::int64_t now);
  // Ends the accept thread and closes the listener.
  void StopAccepting();

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
  std::uint64_t refused = 0;
};

}  // namespace lattice
