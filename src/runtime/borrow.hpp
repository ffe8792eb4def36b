// The per-instance borrow counter: 0 free, n > 0 readers, -1 one writer.
// Getters, comparisons and conversions read; setters write. A borrow lasts
// for one call; conflicts arise only from re-entrant calls.
#pragma once

#include <atomic>
#include <cstdint>

#include "runtime/errors.hpp"

namespace norbe {

using BorrowCounter = std::atomic<std::intptr_t>;

// Every entry into the module holds the interpreter lock, which already
// serialises all access to an instance. With the lock, plain atomic loads and
// stores keep the counter's rules (a read-modify-write would only add a locked
// instruction to every borrow); a free-threaded interpreter has no such lock,
// and there the updates are compare-and-swap operations.
#ifdef Py_GIL_DISABLED
inline bool try_borrow_shared(BorrowCounter& counter) noexcept {
  std::intptr_t current = counter.load(std::memory_order_relaxed);
  do {
    if (current == -1) return false;
  } while (!counter.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                          std::memory_order_relaxed));
  return true;
}
inline void release_shared(BorrowCounter& counter) noexcept {
  counter.fetch_sub(1, std::memory_order_release);
}
inline bool try_borrow_exclusive(BorrowCounter& counter) noexcept {
  std::intptr_t expected = 0;
  return counter.compare_exchange_strong(expected, -1, std::memory_order_acquire);
}
#else
inline bool try_borrow_shared(BorrowCounter& counter) noexcept {
  const std::intptr_t current = counter.load(std::memory_order_relaxed);
  if (current == -1) return false;
  counter.store(current + 1, std::memory_order_relaxed);
  return true;
}
inline void release_shared(BorrowCounter& counter) noexcept {
  counter.store(counter.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
}
inline bool try_borrow_exclusive(BorrowCounter& counter) noexcept {
  if (counter.load(std::memory_order_relaxed) != 0) return false;
  counter.store(-1, std::memory_order_relaxed);
  return true;
}
#endif

// The guards hold the borrow they could take for the rest of the scope. A
// conflict is an ordinary error: the guard tests false, and refuse() sets the
// RuntimeError for callers that report it.
class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowCounter& counter) noexcept
      : counter_(try_borrow_shared(counter) ? &counter : nullptr) {}
  ~SharedBorrow() {
    if (counter_ != nullptr) release_shared(*counter_);
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

  explicit operator bool() const noexcept { return counter_ != nullptr; }
  static Failed refuse() noexcept { return raise(PyExc_RuntimeError, "Already mutably borrowed"); }

 private:
  BorrowCounter* counter_;
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowCounter& counter) noexcept
      : counter_(try_borrow_exclusive(counter) ? &counter : nullptr) {}
  ~ExclusiveBorrow() {
    if (counter_ != nullptr) counter_->store(0, std::memory_order_release);
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

  explicit operator bool() const noexcept { return counter_ != nullptr; }
  static Failed refuse() noexcept { return raise(PyExc_RuntimeError, "Already borrowed"); }

 private:
  BorrowCounter* counter_;
};

}  // namespace norbe
