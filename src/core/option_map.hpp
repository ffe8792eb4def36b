// The option maps of a package outline: a hash map from option name to value,
// filled once from a dict whose size is known up front.
//
// The entries lie densely in one array, in the order they were first
// inserted, each with its name's hash. The caller supplies the hash (the
// binding has the interpreter's cached hash of the name at hand), and says
// whether the name can equal one already present: the keys of a dict that
// are exact str objects are distinct texts, so such names are appended as
// they come. Only a name that may repeat (a key of a str subclass, whose
// equality the dict may not share) needs the table of entry numbers, at most
// half full and probed linearly, which is built from the stored hashes when
// the first such name arrives and serves every insertion after it.
//
// Not std::unordered_map: a node per entry and a bucket array are allocations
// an outline need not make, and it would hash every name again.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

#include "core/inline_string.hpp"
#include "core/node_pool.hpp"

namespace norbe::core {

template <class ValueT>
class OptionMap {
 public:
  using Value = ValueT;

  struct Entry {
    // The value is made by `make` in its place (a prvalue: never moved).
    template <class Make>
    Entry(std::string_view name, std::size_t hash, Make&& make) : name(name), value(make()), hash(hash) {}
    Entry(std::string_view name, std::size_t hash, Value&& value)
        : name(name), value(std::move(value)), hash(hash) {}

    InlineString name;
    Value value;
    std::size_t hash;
  };

  OptionMap() noexcept = default;
  OptionMap(OptionMap&& other) noexcept
      : entries_(std::exchange(other.entries_, {})), table_(std::exchange(other.table_, nullptr)) {}
  OptionMap& operator=(OptionMap&& other) noexcept {
    entries_ = std::exchange(other.entries_, {});
    std::swap(table_, other.table_);
    return *this;
  }
  OptionMap(const OptionMap&) = delete;
  OptionMap& operator=(const OptionMap&) = delete;
  ~OptionMap() { free_table(table_); }

  // Room for `count` entries without reallocating.
  void reserve(std::size_t count) { entries_.reserve(count); }

  // Whether a name known to differ from every name added so far may be
  // appended with append_distinct (no table has been built).
  bool appends_distinct() const noexcept { return table_ == nullptr; }

  // Appends an entry whose name differs from every name added so far (the
  // caller checked appends_distinct()), its value made in place by `make`.
  template <class Make>
  void append_distinct(std::size_t hash, std::string_view name, Make&& make) {
    entries_.emplace_back(name, hash, std::forward<Make>(make));
  }

  // Adds the entry, or replaces the value of the entry with an equal name.
  // `hash` is the name's hash (equal names, equal hashes); `may_repeat`
  // false promises that no entry added before has an equal name.
  void insert_or_assign(std::size_t hash, std::string_view name, Value&& value, bool may_repeat) {
    if (!may_repeat && table_ == nullptr) {
      entries_.emplace_back(name, hash, std::move(value));
      return;
    }
    if (table_size() < 2 * (entries_.size() + 1)) rebuild(table_size_for(entries_.size() + 1));
    std::uint32_t* slots = table_ + 1;
    const std::size_t mask = table_size() - 1;
    std::size_t slot = hash & mask;
    for (; slots[slot] != 0; slot = (slot + 1) & mask) {
      Entry& entry = entries_[slots[slot] - 1];
      if (entry.hash == hash && entry.name == name) {
        entry.value = std::move(value);
        return;
      }
    }
    entries_.emplace_back(name, hash, std::move(value));
    slots[slot] = static_cast<std::uint32_t>(entries_.size());
  }

  std::size_t size() const noexcept { return entries_.size(); }

 private:
  static std::size_t table_size_for(std::size_t count) {
    std::size_t size = 4;
    while (size < 2 * count) size *= 2;
    return size;
  }

  std::size_t table_size() const noexcept { return table_ == nullptr ? 0 : table_[0]; }

  // A new table of `size` slots holding every entry; the old one stays in
  // place if the allocation fails.
  void rebuild(std::size_t size) {
    const std::size_t bytes = (size + 1) * sizeof(std::uint32_t);
    auto* table = static_cast<std::uint32_t*>(BlockPool::allocate(bytes));
    table[0] = static_cast<std::uint32_t>(size);
    std::uint32_t* slots = table + 1;
    std::fill(slots, slots + size, 0);  // zero: empty
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      std::size_t slot = entries_[i].hash & (size - 1);
      while (slots[slot] != 0) slot = (slot + 1) & (size - 1);
      slots[slot] = static_cast<std::uint32_t>(i + 1);
    }
    free_table(std::exchange(table_, table));
  }

  static void free_table(std::uint32_t* table) noexcept {
    if (table != nullptr) BlockPool::release(table, (table[0] + 1) * sizeof(std::uint32_t));
  }

  std::vector<Entry, PoolAllocator<Entry>> entries_;
  // Null until a name that may repeat arrives; then its slot count, then the
  // slots: entry number + 1, or 0 for an empty slot. One word, so that an
  // outline (two maps) stays small.
  std::uint32_t* table_ = nullptr;
};

}  // namespace norbe::core
