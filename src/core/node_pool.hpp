// Caches of freed tree nodes, one per node size.
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
// - Each list holds at most `kKeep` blocks, in an array beside them; beyond that blocks go back to the
//   global allocator, so the pool never holds more than a few dozen kilobytes.
// - Pooled blocks are plain `::operator new(Size)` memory, so a node may be
//   allocated with the pool on and freed with it off, or the reverse.
//
// (The interpreter's small-object allocator was measured as the source of
// new blocks too: fewer instructions, but slower on the outline workload than
// the C library's allocator.)
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NORBE_NODE_POOL_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define NORBE_NODE_POOL_ASAN 1
#endif
#ifdef NORBE_NODE_POOL_ASAN
#include <sanitizer/asan_interface.h>
#define NORBE_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define NORBE_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define NORBE_POISON(address, size) ((void)(address), (void)(size))
#define NORBE_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace norbe::core {

inline bool node_pool_enabled = false;

// Turns the pool on. The caller guarantees that from now on every allocation
// and release of a tree node in the process is serialised by one lock.
inline void enable_node_pool() noexcept {
  node_pool_enabled = true;
}

template <std::size_t Size>
class NodePool {
 public:
  static void* allocate() {
    if (count_ != 0 && node_pool_enabled) {
      void* block = blocks_[--count_];
      NORBE_UNPOISON(block, Size);
      return block;
    }
    return ::operator new(Size);
  }

  static void release(void* memory) noexcept {
    if (count_ < kKeep && node_pool_enabled) {
      NORBE_POISON(memory, Size);
      blocks_[count_++] = memory;
      return;
    }
    ::operator delete(memory);
  }

 private:
  static constexpr std::uint32_t kKeep = 256;

  // The kept blocks, last freed on top. Held outside the blocks, so that a
  // block is poisoned whole and the leak checker sees every one as reachable.
  static inline void* blocks_[kKeep] = {};
  static inline std::uint32_t count_ = 0;
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
