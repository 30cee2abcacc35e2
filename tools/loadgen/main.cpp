// Load generator for the tracker: TCP and uTP connections on loopback that
// announce peers in shares and drive "get_peers", checking every message
// that comes back. See bench/README.md.
#include <signal.h>
#include <unistd.h>

#include "generator.h"
#include "hostile.h"
#include "options.h"

int main(int argc, char** argv) {
  loadgen::Options options;
  if (!loadgen::ParseOptions(argc, argv, options)) return 2;
  signal(SIGPIPE, SIG_IGN);
  // The run watches its own deadline; this is the backstop if it hangs.
  alarm(static_cast<unsigned>(options.timeout) + 30);
  if (!options.hostile.empty()) return loadgen::RunHostile(options);
  loadgen::Generator generator(options);
  return generator.Run();
}
