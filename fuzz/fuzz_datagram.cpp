// Datagrams into the tracker's uTP path: the UDP receive completion, the
// library, the binding, framing and the registry. A real client context makes
// the handshakes and the requests; the input injects raw datagrams, corrupts
// the client's, and chooses when timers run and connections close.
//
// Input: a sequence of commands, each one byte, with operands after it:
//   0 N P BYTES...  raw datagram of N bytes from port P
//   1 I B           flip byte I of the client's next datagram with B
//   2               run the library timers on both sides
//   3               client opens a connection
//   4 K             client writes a get_peers for peer K on its last connection
//   5               client closes its last connection
//   6               sweep: close and destroy what is closed
#include "test_support.h"
#include "utp_link.h"

using namespace lattice;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SetLogStreamForTesting(std::fopen("/dev/null", "w"));  // every new binding logs a line
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  {
    Tracker tracker;
    test::UtpLink link(tracker);
    std::vector<utp_socket*> open;
    std::size_t i = 0;
    auto next = [&](std::uint8_t fallback = 0) { return i < size ? data[i++] : fallback; };
    while (i < size) {
      switch (next() % 7) {
        case 0: {
          std::size_t n = next();
          const std::uint16_t port = next();
          n = std::min(n, size - i);
          link.Deliver(data + i, n, port);
          i += n;
          break;
        }
        case 1:
          link.flipIndex = next();
          link.flipMask = next(1);
          break;
        case 2:
          RunUtpTimers(*link.tracker);
          utp_check_timeouts(link.client);
          break;
        case 3:
          if (open.size() < 16) open.push_back(link.Connect(4000).sock);
          break;
        case 4:
          if (!open.empty()) {
            const std::string m = test::Framed({.peer = std::string(20, static_cast<char>(next())), .share = test::Sid(1)});
            utp_write(open.back(), const_cast<char*>(m.data()), m.size());
          }
          break;
        case 5:
          if (!open.empty()) utp_close(open.back()), open.pop_back();
          break;
        case 6:
          link.context.sockets.SweepSockets(0x7FFFFFFF);
          break;
      }
      link.Pump(4000, false);
    }
  }
  return 0;
}
