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
// Why not std::unordered_map with reserve: measured with the instruction
// counts of the outline bench, an outline with five options and five
// defaults cost 14,177 instructions with it and 12,178 with a dense map that
// hashed the names itself (ten Depends constraints: 11,375 and 9,325), a
// saving of 14% and 18%. Taking the interpreter's hash and appending without
// a table saved a further 1,900 and 1,000 instructions of the 9,500 that
// remained (ten Depends constraints).
#pragma once

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
      : entries_(std::exchange(other.entries_, {})), table_(std::exchange(other.table_, {})) {}
  OptionMap& operator=(OptionMap&& other) noexcept {
    entries_ = std::exchange(other.entries_, {});
    table_ = std::exchange(other.table_, {});
    return *this;
  }

  // Room for `count` entries without reallocating.
  void reserve(std::size_t count) { entries_.reserve(count); }

  // Whether a name known to differ from every name added so far may be
  // appended with append_distinct (no table has been built).
  bool appends_distinct() const noexcept { return table_.empty(); }

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
    if (!may_repeat && table_.empty()) {
      entries_.emplace_back(name, hash, std::move(value));
      return;
    }
    if (table_.size() < 2 * (entries_.size() + 1)) rebuild(table_size_for(entries_.size() + 1));
    const std::size_t mask = table_.size() - 1;
    std::size_t slot = hash & mask;
    for (; table_[slot] != 0; slot = (slot + 1) & mask) {
      Entry& entry = entries_[table_[slot] - 1];
      if (entry.hash == hash && entry.name == name) {
        entry.value = std::move(value);
        return;
      }
    }
    entries_.emplace_back(name, hash, std::move(value));
    table_[slot] = static_cast<std::uint32_t>(entries_.size());
  }

  std::size_t size() const noexcept { return entries_.size(); }

 private:
  static std::size_t table_size_for(std::size_t count) {
    std::size_t size = 4;
    while (size < 2 * count) size *= 2;
    return size;
  }

  // A new table of `size` slots holding every entry; the old one stays in
  // place if the allocation fails.
  void rebuild(std::size_t size) {
    std::vector<std::uint32_t, PoolAllocator<std::uint32_t>> table(size);  // zero: empty
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      std::size_t slot = entries_[i].hash & (size - 1);
      while (table[slot] != 0) slot = (slot + 1) & (size - 1);
      table[slot] = static_cast<std::uint32_t>(i + 1);
    }
    table_ = std::move(table);
  }

  std::vector<Entry, PoolAllocator<Entry>> entries_;
  std::vector<std::uint32_t, PoolAllocator<std::uint32_t>>
      table_;  // entry number + 1, or 0 for an empty slot
};

}  // namespace norbe::core
