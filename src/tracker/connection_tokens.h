// Names for connections that other tracker nodes can hold: an index into a
// table and the generation of its entry, so a name kept after its connection
// closed, or sent by a node of an earlier run, finds nothing.
#pragma once

#include <cstdint>
#include <vector>

#include "tracker/connection.h"

namespace lattice {

class ConnectionTokens {
 public:
  // The connection's token, issued on first use.
  std::uint64_t TokenOf(Connection& connection) {
    if (connection.tokenIndex == Connection::kNoToken) {
      std::uint32_t index;
      if (!freeIndexes.empty()) {
        index = freeIndexes.back();
        freeIndexes.pop_back();
      } else {
        index = static_cast<std::uint32_t>(entries.size());
        entries.push_back({});
      }
      entries[index].connection = &connection;
      connection.tokenIndex = index;
    }
    const Entry& e = entries[connection.tokenIndex];
    return static_cast<std::uint64_t>(e.generation) << 32 | connection.tokenIndex;
  }

  // The live connection a token names, or null.
  Connection* Find(std::uint64_t token) const {
    const auto index = static_cast<std::uint32_t>(token);
    if (index >= entries.size()) return nullptr;
    const Entry& e = entries[index];
    return e.generation == static_cast<std::uint32_t>(token >> 32) ? e.connection : nullptr;
  }

  // Every place of the table, for walks over the connections that have a
  // token: At(i) is null for a free place.
  std::size_t Size() const { return entries.size(); }
  Connection* At(std::size_t index) const { return entries[index].connection; }

  // The connection is closing: its token names nothing from now on.
  void Release(Connection& connection) {
    if (connection.tokenIndex == Connection::kNoToken) return;
    Entry& e = entries[connection.tokenIndex];
    e.connection = nullptr;
    ++e.generation;
    freeIndexes.push_back(connection.tokenIndex);
    connection.tokenIndex = Connection::kNoToken;
  }

 private:
  struct Entry {
    Connection* connection = nullptr;
    std::uint32_t generation = 1;
  };
  std::vector<Entry> entries;
  std::vector<std::uint32_t> freeIndexes;
};

}  // namespace lattice
