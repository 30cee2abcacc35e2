// A uTP test client driven line by line on standard input, for the black-box
// tests. Commands:
//   open                 open a connection; prints "opened ID" (then "connected ID")
//   send ID HEX          write bytes on a connection
//   close ID             close a connection
//   pause MS             stop reading datagrams for MS milliseconds
//   openmany N           open N connections; prints "opened FIRST LAST"
//   quiet                stop printing messages; count them instead
//   counts               prints "counts MESSAGES CONNECTED CONNECTIONS_WITH_MESSAGES CLOSED"
//   stats                prints "stats MAXDATAGRAM DATAGRAMS"
//   quit
// On start it prints "bound PORT", the local port of its UDP socket.
// Events: "connected ID", "recv ID HEX" (one whole framed message),
// "eof ID", "error ID CODE", "destroyed ID".
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "utp.h"

namespace {

struct Connection {
  int id = 0;
  bool connected = false;
  bool closed = false;
  std::size_t messages = 0;
  utp_socket* sock = nullptr;
  std::vector<std::uint8_t> inbound;
  std::vector<std::uint8_t> pending;  // bytes utp_write has not taken yet
};

int udpFd = -1;
sockaddr_storage server{};
socklen_t serverLength = 0;
std::map<int, Connection> connections;
int nextId = 1;
bool quiet = false;
std::size_t maxDatagram = 0;
std::size_t datagrams = 0;

void Emit(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string Hex(const std::uint8_t* p, std::size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  out.reserve(n * 2);
  for (std::size_t i = 0; i < n; ++i) {
    out.push_back(digits[p[i] >> 4]);
    out.push_back(digits[p[i] & 15]);
  }
  return out;
}

std::vector<std::uint8_t> Unhex(const std::string& text) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
  return out;
}

Connection* Of(utp_socket* s) { return static_cast<Connection*>(utp_get_userdata(s)); }

void Flush(Connection& c) {
  while (!c.pending.empty()) {
    ssize_t n = utp_write(c.sock, c.pending.data(), c.pending.size());
    if (n <= 0) return;
    c.pending.erase(c.pending.begin(), c.pending.begin() + n);
  }
}

uint64 OnRead(utp_callback_arguments* a) {
  if (Connection* c = Of(a->socket)) {
    c->inbound.insert(c->inbound.end(), a->buf, a->buf + a->len);
    while (c->inbound.size() >= 4) {
      std::uint32_t n = (std::uint32_t(c->inbound[0]) << 24) | (std::uint32_t(c->inbound[1]) << 16) |
                        (std::uint32_t(c->inbound[2]) << 8) | c->inbound[3];
      if (c->inbound.size() < n + 4ull) break;
      ++c->messages;
      if (!quiet) Emit("recv " + std::to_string(c->id) + " " + Hex(c->inbound.data(), n + 4));
      c->inbound.erase(c->inbound.begin(), c->inbound.begin() + n + 4);
    }
  }
  utp_read_drained(a->socket);
  return 0;
}

uint64 OnState(utp_callback_arguments* a) {
  Connection* c = Of(a->socket);
  if (c == nullptr) return 0;
  switch (a->state) {
    case UTP_STATE_CONNECT:
      c->connected = true;
      if (!quiet) Emit("connected " + std::to_string(c->id));
      Flush(*c);
      break;
    case UTP_STATE_WRITABLE:
      Flush(*c);
      break;
    case UTP_STATE_EOF:
      c->closed = true;
      if (!quiet) Emit("eof " + std::to_string(c->id));
      break;
    case UTP_STATE_DESTROYING:
      c->closed = true;
      if (!quiet) Emit("destroyed " + std::to_string(c->id));
      c->sock = nullptr;
      break;
  }
  return 0;
}

uint64 OnError(utp_callback_arguments* a) {
  if (Connection* c = Of(a->socket)) {
    c->closed = true;
    if (!quiet) Emit("error " + std::to_string(c->id) + " " + std::to_string(a->error_code));
  }
  return 0;
}

uint64 OnSendTo(utp_callback_arguments* a) {
  sendto(udpFd, a->buf, a->len, MSG_DONTWAIT, a->address, a->address_len);
  return 0;
}

void ReadDatagrams(utp_context* ctx) {
  std::uint8_t buffer[65536];
  for (;;) {
    sockaddr_storage from{};
    socklen_t fromLength = sizeof from;
    ssize_t n = recvfrom(udpFd, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0) break;
    ++datagrams;
    if (static_cast<std::size_t>(n) > maxDatagram) maxDatagram = static_cast<std::size_t>(n);
    utp_process_udp(ctx, buffer, static_cast<std::size_t>(n), reinterpret_cast<sockaddr*>(&from), fromLength);
  }
  utp_issue_deferred_acks(ctx);
}

bool Command(utp_context* ctx, const std::string& line, std::chrono::steady_clock::time_point& pausedUntil) {
  std::istringstream in(line);
  std::string verb;
  in >> verb;
  if (verb == "quit") return false;
  if (verb == "open" || verb == "openmany") {
    int count = 1;
    if (verb == "openmany") in >> count;
    int first = nextId;
    for (int i = 0; i < count; ++i) {
      Connection& c = connections[nextId];
      c.id = nextId++;
      c.sock = utp_create_socket(ctx);
      utp_set_userdata(c.sock, &c);
      utp_connect(c.sock, reinterpret_cast<sockaddr*>(&server), serverLength);
    }
    Emit(verb == "open" ? "opened " + std::to_string(first)
                        : "opened " + std::to_string(first) + " " + std::to_string(nextId - 1));
  } else if (verb == "quiet") {
    quiet = true;
  } else if (verb == "counts") {
    std::size_t messages = 0, connected = 0, answered = 0, closed = 0;
    for (auto& [id, c] : connections) {
      messages += c.messages;
      connected += c.connected ? 1 : 0;
      answered += c.messages != 0 ? 1 : 0;
      closed += c.closed ? 1 : 0;
    }
    Emit("counts " + std::to_string(messages) + " " + std::to_string(connected) + " " + std::to_string(answered) +
         " " + std::to_string(closed));
  } else if (verb == "send" || verb == "close") {
    int id = 0;
    in >> id;
    auto it = connections.find(id);
    if (it == connections.end() || it->second.sock == nullptr) return true;
    if (verb == "close") {
      utp_close(it->second.sock);
    } else {
      std::string hex;
      in >> hex;
      std::vector<std::uint8_t> bytes = Unhex(hex);
      it->second.pending.insert(it->second.pending.end(), bytes.begin(), bytes.end());
      Flush(it->second);
    }
  } else if (verb == "pause") {
    int ms = 0;
    in >> ms;
    pausedUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  } else if (verb == "stats") {
    Emit("stats " + std::to_string(maxDatagram) + " " + std::to_string(datagrams));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: utp_client HOST PORT\n");
    return 2;
  }
  addrinfo hints{};
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* res = nullptr;
  if (getaddrinfo(argv[1], argv[2], &hints, &res) != 0 || res == nullptr) return 2;
  std::memcpy(&server, res->ai_addr, res->ai_addrlen);
  serverLength = res->ai_addrlen;
  udpFd = socket(res->ai_family, SOCK_DGRAM, 0);
  freeaddrinfo(res);
  if (udpFd < 0) return 2;
  // Bound to the loopback address of the server's family, so the tests know
  // the address the tracker will see.
  sockaddr_storage local{};
  socklen_t localLength;
  if (server.ss_family == AF_INET6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&local);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_loopback;
    localLength = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&local);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    localLength = sizeof *a;
  }
  int big = 8 << 20;
  setsockopt(udpFd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  setsockopt(udpFd, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  if (bind(udpFd, reinterpret_cast<sockaddr*>(&local), localLength) != 0) return 2;
  getsockname(udpFd, reinterpret_cast<sockaddr*>(&local), &localLength);
  Emit("bound " + std::to_string(ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port)));

  utp_context* ctx = utp_init(2);
  utp_set_callback(ctx, UTP_ON_READ, OnRead);
  utp_set_callback(ctx, UTP_ON_STATE_CHANGE, OnState);
  utp_set_callback(ctx, UTP_ON_ERROR, OnError);
  utp_set_callback(ctx, UTP_SENDTO, OnSendTo);

  std::string lineBuffer;
  auto pausedUntil = std::chrono::steady_clock::now();
  bool running = true;
  bool inputOpen = true;
  while (running) {
    pollfd fds[2] = {{udpFd, POLLIN, 0}, {0, POLLIN, 0}};
    bool paused = std::chrono::steady_clock::now() < pausedUntil;
    poll(paused ? fds + 1 : fds, inputOpen ? (paused ? 1 : 2) : (paused ? 0 : 1), 20);
    if (!paused) ReadDatagrams(ctx);
    if (inputOpen && (fds[1].revents & (POLLIN | POLLHUP)) != 0) {
      char chunk[65536];
      ssize_t n = read(0, chunk, sizeof chunk);
      if (n <= 0) {
        inputOpen = false;
        running = false;
      } else {
        lineBuffer.append(chunk, static_cast<std::size_t>(n));
        std::size_t eol;
        while (running && (eol = lineBuffer.find('\n')) != std::string::npos) {
          running = Command(ctx, lineBuffer.substr(0, eol), pausedUntil);
          lineBuffer.erase(0, eol + 1);
        }
      }
    }
    utp_check_timeouts(ctx);
  }
  // Close what is still open and give the FINs a moment to leave, so the
  // tracker sees each stream end rather than waiting for it to expire.
  for (auto& [id, c] : connections)
    if (c.sock != nullptr && !c.closed) utp_close(c.sock);
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
  while (std::chrono::steady_clock::now() < until) {
    pollfd fd = {udpFd, POLLIN, 0};
    poll(&fd, 1, 20);
    ReadDatagrams(ctx);
    utp_check_timeouts(ctx);
  }
  utp_destroy(ctx);
  close(udpFd);
  return 0;
}
