// Caches of freed tree nodes and small arrays, one per size class.
//
// Trees are built, copied and released node by node, and the copies that the
// by-value rules ask for come in bursts: a comparison copies its receiver, an
// outline copies every tree it is given, and temporaries die right after. A
// general-purpose allocator keeps only a handful of blocks of one size at
// hand, so most of these bursts go to its slow paths. A node's memory is
// therefore kept on a short list when it is freed and handed out again for
// the next node of the same size.
//
// - The lists are shared and unsynchronised: they are used only after
//   enable_node_pool(), which the module calls at start-up when every tree
//   operation of the process runs under one lock (the interpreter lock). A
//   free-threaded build never calls it. Until then nodes come straight from
//   the global operator new and delete.
// - Under AddressSanitizer a block on a list is poisoned, so a use after free
//   of a pooled node is reported as it would be for the allocator's own
//   blocks; the sanitizer build runs the test suite with the pool on.
// - Blocks are kept per size class (the sizes that fill the C library
//   allocator's chunks, up to 32 classes), so the arrays of outline
//   constraints (and of a NumOf's entries while they are converted) and of
//   the option maps share the lists of the nodes. Each list holds at most
//   `kKeep` blocks, in an array beside them; beyond that blocks go back to
//   the global allocator, so the pool never holds more than about half a
//   megabyte.
// - Pooled blocks are plain `::operator new(class_size(c))` memory, so a
//   block may be allocated with the pool on and freed with it off, or the
//   reverse.
// - The interpreter's small-object allocator is not used for new blocks: the
//   C library's serves the outline workload faster.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "core/platform.hpp"

namespace norbe::core {

inline bool node_pool_enabled = false;

// Turns the pool on. The caller guarantees that from now on every allocation
// and release of a pooled block in the process is serialised by one lock.
inline void enable_node_pool() noexcept {
  node_pool_enabled = true;
}

// Blocks are kept by size class: class c (from 1) holds the blocks that fill
// a chunk of c + 1 granules of the C library allocator exactly (platform.hpp;
// glibc: 16c + 8 bytes), so rounding a request up to its class costs no
// memory.
class BlockPool {
 public:
  static constexpr std::size_t kClasses = 32;

  static constexpr std::size_t class_size(std::size_t c) noexcept {
    return heap_granule * (c + 1) - heap_chunk_header;
  }
  // The size of the largest class: class_size(kClasses - 1).
  static constexpr std::size_t kLargest = heap_granule * kClasses - heap_chunk_header;

  static constexpr std::size_t class_of(std::size_t bytes) noexcept {
    const std::size_t c = (bytes + heap_chunk_header + heap_granule - 1) / heap_granule;
    return c <= 1 ? 1 : c - 1;
  }

  // A block of at least `bytes`; larger than kLargest: the global allocator's.
  static void* allocate(std::size_t bytes) {
    if (bytes > kLargest) return ::operator new(bytes);
    const std::size_t c = class_of(bytes);
    if (count_[c] != 0 && node_pool_enabled) {
      void* block = blocks_[c][--count_[c]];
      NORBE_UNPOISON(block, class_size(c));
      return block;
    }
    return ::operator new(class_size(c));
  }

  // Releases a block that allocate(bytes) gave, with the same `bytes`.
  static void release(void* memory, std::size_t bytes) noexcept {
    if (bytes <= kLargest && node_pool_enabled) {
      const std::size_t c = class_of(bytes);
      if (count_[c] < kKeep) {
        NORBE_POISON(memory, class_size(c));
        blocks_[c][count_[c]++] = memory;
        return;
      }
    }
    ::operator delete(memory);
  }

 private:
  static constexpr std::uint32_t kKeep = 64;

  // The kept blocks, last freed on top. Held outside the blocks, so that a
  // block is poisoned whole and the leak checker sees every one as reachable.
  static inline void* blocks_[kClasses][kKeep] = {};
  static inline std::uint32_t count_[kClasses] = {};
};

// The pool of one node type's size.
template <std::size_t Size>
struct NodePool {
  static void* allocate() { return BlockPool::allocate(Size); }
  static void release(void* memory) noexcept { BlockPool::release(memory, Size); }
};

// A standard allocator over the pool, for the arrays of the trees and the
// option maps (std::vector and the like).
template <class T>
struct PoolAllocator {
  using value_type = T;
  PoolAllocator() noexcept = default;
  template <class U>
  PoolAllocator(const PoolAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(BlockPool::allocate(n * sizeof(T)));
  }
  void deallocate(T* memory, std::size_t n) noexcept { BlockPool::release(memory, n * sizeof(T)); }
  template <class U>
  friend bool operator==(const PoolAllocator&, const PoolAllocator<U>&) noexcept {
    return true;
  }
};

}  // namespace norbe::core

// Class-specific allocation for a tree node type: its blocks come from the
// pool of its size. (The placement form stays available for code that builds
// a node in storage of its own.)
#define NORBE_POOLED_NODE(Node)                                  \
  static void* operator new(std::size_t) {                       \
    return ::norbe::core::NodePool<sizeof(Node)>::allocate();    \
  }                                                              \
  static void* operator new(std::size_t, void* where) noexcept { \
    return where;                                                \
  }                                                              \
  static void operator delete(void* memory) noexcept {           \
    ::norbe::core::NodePool<sizeof(Node)>::release(memory);      \
  }                                                              \
  static void operator delete(void*, void*) noexcept {}
