// The per-instance borrow counter: 0 free, n > 0 readers, -1 one writer.
// Getters, comparisons and conversions read; setters write. A borrow lasts
// for one call; conflicts arise only from re-entrant calls.
#pragma once

#include <atomic>
#include <cstdint>

#include "runtime/errors.hpp"

namespace norbe {

using BorrowCounter = std::atomic<std::intptr_t>;

inline bool try_borrow_shared(BorrowCounter& counter) noexcept {
  std::intptr_t current = counter.load(std::memory_order_relaxed);
  do {
    if (current == -1) return false;
  } while (!counter.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                          std::memory_order_relaxed));
  return true;
}

class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowCounter& counter) : counter_(counter) {
    if (!try_borrow_shared(counter)) raise(PyExc_RuntimeError, "Already mutably borrowed");
  }
  // For callers that already hold the borrow (taken with try_borrow_shared).
  struct Adopt {};
  SharedBorrow(BorrowCounter& counter, Adopt) noexcept : counter_(counter) {}
  ~SharedBorrow() { counter_.fetch_sub(1, std::memory_order_release); }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  BorrowCounter& counter_;
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowCounter& counter) : counter_(counter) {
    std::intptr_t expected = 0;
    if (!counter.compare_exchange_strong(expected, -1, std::memory_order_acquire)) {
      raise(PyExc_RuntimeError, "Already borrowed");
    }
  }
  ~ExclusiveBorrow() { counter_.store(0, std::memory_order_release); }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

 private:
  BorrowCounter& counter_;
};

}  // namespace norbe
