// The peer ids announced on one connection, kept in announcement order.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "tracker/indexed_list.h"
#include "tracker/peer_ids.h"

namespace lattice {

// A set with the order of first insertion: closing a connection unbinds its
// ids in the order they were announced, the same in every run, which a hash
// set with a per-process key would not give.
class RegistrationSet {
 public:
  // The second element is true when the id was not there yet.
  std::pair<const PeerId*, bool> insert(const PeerId& id) {
    std::size_t at = ids.Find(id);
    if (at != Ids::kNotFound) return {&ids[at], false};
    ids.Append(id);
    return {&ids.Items().back(), true};
  }
  // Moves the last id into the gap, so the order is that of announcement
  // only until the first erase.
  void erase(const PeerId& id) {
    std::size_t at = ids.Find(id);
    if (at != Ids::kNotFound) ids.RemoveAt(at);
  }
  std::size_t count(const PeerId& id) const { return ids.Find(id) == Ids::kNotFound ? 0 : 1; }
  std::size_t size() const { return ids.Size(); }
  bool empty() const { return ids.Empty(); }
  std::vector<PeerId>::const_iterator begin() const { return ids.Items().begin(); }
  std::vector<PeerId>::const_iterator end() const { return ids.Items().end(); }

 private:
  struct Same {
    const PeerId& operator()(const PeerId& id) const { return id; }
  };
  using Ids = IndexedList<PeerId, PeerId, Same, PeerIdHash>;
  Ids ids;
};

}  // namespace lattice
