#include "app/limit_options.h"

namespace lattice {
namespace {

template <typename Field>
void Apply(const ArgsCollector& args, const wchar_t* name, Field& field) {
  std::vector<std::wstring> words = args.Get(name);
  if (words.size() < 2) return;
  const std::int32_t value = ParseOptionInteger(words[1]);
  if (value >= 1) field = static_cast<Field>(value);
}

}  // namespace

Limits LimitOptions(const ArgsCollector& args) {
  Limits l;
  Apply(args, L"max-connections", l.maxConnections);
  Apply(args, L"max-per-address", l.maxConnectionsPerAddress);
  Apply(args, L"max-peer-ids", l.maxPeerIdsPerConnection);
  Apply(args, L"max-la-bytes", l.maxLocalAddressBytes);
  Apply(args, L"max-per-peer-id", l.maxConnectionsPerPeerId);
  Apply(args, L"max-registry-bytes", l.maxRegistryBytesPerConnection);
  Apply(args, L"max-pending-utp", l.maxPendingUtpConnections);
  Apply(args, L"pending-utp-timeout", l.pendingUtpTimeout);
  Apply(args, L"conn-buffer", l.connectionBufferBytes);
  return l;
}

}  // namespace lattice
