// An unordered vector whose removal moves the last element into the gap,
// with a hash index from key to position once the list grows long.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

namespace lattice {

template <typename Value, typename Key, typename KeyOf, typename Hash>
class IndexedList {
 public:
  static constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

  const std::vector<Value>& Items() const { return items; }
  std::size_t Size() const { return items.size(); }
  bool Empty() const { return items.empty(); }
  const Value& operator[](std::size_t i) const { return items[i]; }
  // Mutable access to an element; its key must not change.
  Value& At(std::size_t i) { return items[i]; }

  // The position of the element with this key; the list never holds two.
  std::size_t Find(const Key& key) const {
    if (!index) {
      for (std::size_t i = 0; i < items.size(); ++i)
        if (KeyOf{}(items[i]) == key) return i;
      return kNotFound;
    }
    auto it = index->find(key);
    return it == index->end() ? kNotFound : it->second;
  }

  void Append(Value value) {
    items.push_back(std::move(value));
    if (index) {
      index->emplace(KeyOf{}(items.back()), static_cast<std::uint32_t>(items.size() - 1));
    } else if (items.size() > kIndexFrom) {
      BuildIndex();
    }
  }

  // Removes position i by moving the last element into it; returns the
  // removed value. The order of the rest is not kept.
  Value RemoveAt(std::size_t i) {
    Value removed = std::move(items[i]);
    if (index) index->erase(KeyOf{}(removed));
    if (i + 1 != items.size()) {
      items[i] = std::move(items.back());
      if (index) (*index)[KeyOf{}(items[i])] = static_cast<std::uint32_t>(i);
    }
    items.pop_back();
    return removed;
  }

 private:
  // Short lists are scanned; the index pays for itself only beyond this.
  static constexpr std::size_t kIndexFrom = 8;

  void BuildIndex() {
    index = std::make_unique<Index>();
    index->reserve(items.size() * 2);
    for (std::size_t i = 0; i < items.size(); ++i)
      index->emplace(KeyOf{}(items[i]), static_cast<std::uint32_t>(i));
  }

  using Index = std::unordered_map<Key, std::uint32_t, Hash>;
  std::vector<Value> items;
  // Made only for a long list: most lists (a connection's ids, a small
  // share) stay short, and an empty table still costs 56 bytes.
  std::unique_ptr<Index> index;
};

}  // namespace lattice
