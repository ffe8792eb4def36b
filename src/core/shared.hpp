// Sharing immutable memory between holders: a count of owners, and the one
// copy-on-write step. Tree nodes, the entry blocks of a NumOf, versions and
// long texts are shared this way: copying a holder adds an owner, and memory
// that more than one holder owns never changes, so each holder behaves as if
// it had a deep copy of its own.
//
// The rules, for every user of OwnerCount:
//
// - New owners come only from existing ones: add() is called by a holder that
//   owns a share and keeps it for the duration of the call. So a count can
//   only grow through a share that someone still holds.
// - add() is a relaxed increment. The share it copies keeps the memory alive,
//   and the new holder reaches the memory through that share, so no ordering
//   is needed.
// - release() by the last owner synchronises with every other owner's
//   release: a decrement is acq_rel and the load that sees the last share is
//   acquire, so whatever the other owners did with the memory happens before
//   the last one takes it apart.
// - Sole-owner paths: a holder that reads a count of 1 is the only owner,
//   and by the first rule only it could add another. So it releases without
//   an atomic read-modify-write, and it writes the memory in place
//   (copy_on_write() below). That reasoning needs one more guarantee, which
//   the binding gives: a share is taken from an object's payload, and that
//   payload is written, only inside that object's critical section (with the
//   interpreter lock held, or without it in the object's own critical
//   section). So while a writer holds the count of 1 that it observed, no
//   other thread can add an owner through the same holder. Memory reachable
//   only through a solely owned block is solely owned too.
//
// In checked builds (see NORBE_ASSERT) every sole-owner release does the
// atomic decrement anyway and asserts that it was the last, and add() asserts
// that the memory was alive and that the count does not wrap.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "core/platform.hpp"

namespace norbe::core {

class OwnerCount {
 public:
  // One owner: whoever made the memory. A copy of the memory that holds the
  // count (made by copy_on_write) starts again with one.
  OwnerCount() noexcept = default;
  OwnerCount(const OwnerCount&) noexcept {}
  OwnerCount& operator=(const OwnerCount&) noexcept { return *this; }

  // Another owner, added by one who holds a share.
  void add() noexcept {
    [[maybe_unused]] const std::uint32_t before = owners_.fetch_add(1, std::memory_order_relaxed);
    NORBE_ASSERT(before != 0 && before != UINT32_MAX);
  }

  // Gives up one share. True when it was the last: the memory is then the
  // caller's alone to take apart (or to keep), and its count reads 1 again.
  bool release() noexcept {
    const std::uint32_t owners = owners_.load(std::memory_order_acquire);
    NORBE_ASSERT(owners != 0);
    if (owners == 1) {
#if NORBE_CHECKED
      [[maybe_unused]] const std::uint32_t before = owners_.fetch_sub(1, std::memory_order_acq_rel);
      NORBE_ASSERT(before == 1);  // nobody added an owner behind the sole one's back
      owners_.store(1, std::memory_order_relaxed);
#endif
      return true;
    }
    if (owners_.fetch_sub(1, std::memory_order_acq_rel) != 1) return false;
    owners_.store(1, std::memory_order_relaxed);  // the others let go meanwhile
    return true;
  }

  // Whether other holders own the memory too (it must not change in place).
  bool shared() const noexcept {
    const std::uint32_t owners = owners_.load(std::memory_order_acquire);
    NORBE_ASSERT(owners != 0);
    return owners != 1;
  }

 private:
  std::atomic<std::uint32_t> owners_{1};
};

// The memory `held` points to (a T with an OwnerCount member `owners`), made
// the holder's own before a write: while others share it, copy(const T&)
// makes a new T whose count is one (if it throws, nothing has changed),
// `held` is pointed at it, and let_go(T*) gives up the holder's share of the
// old one, which may have become the last share meanwhile.
// The test inlines into every writer; the copy stays out of line.
template <class T, class Copy, class LetGo>
NORBE_NEVER_INLINE void detach_shared(T*& held, Copy& copy, LetGo& let_go) {
  T* own = copy(std::as_const(*held));
  let_go(std::exchange(held, own));
}
template <class T, class Copy, class LetGo>
NORBE_ALWAYS_INLINE T& copy_on_write(T*& held, Copy&& copy, LetGo&& let_go) {
  if (held->owners.shared()) [[unlikely]]
    detach_shared(held, copy, let_go);
  return *held;
}

}  // namespace norbe::core
