// The per-instance borrow counter: 0 free, n > 0 readers, -1 one writer.
// Getters, comparisons and conversions read; setters write. A borrow lasts
// for one call and is taken inside the object's critical section (below), so
// conflicts arise only from re-entrant calls on one thread.
#pragma once

#include <Python.h>

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

// The object's critical section in a free-threaded build; nothing with the
// interpreter lock, which already serialises every entry. Payload borrows are
// taken and released inside it, so that two threads using one instance take
// turns instead of meeting each other's borrows; the counter still catches
// re-entrant use by the thread that holds the section. A guard rather than the
// Py_BEGIN/END_CRITICAL_SECTION macros: a C++ exception may leave the scope.
class CriticalSection {
 public:
#ifdef Py_GIL_DISABLED
  explicit CriticalSection(PyObject* object) noexcept {
    PyCriticalSection_Begin(&section_, object);
  }
  ~CriticalSection() {
    PyCriticalSection_End(&section_);
  }
#else
  explicit CriticalSection(PyObject*) noexcept {}
#endif
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

 private:
#ifdef Py_GIL_DISABLED
  PyCriticalSection section_;
#endif
};

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
