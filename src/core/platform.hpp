// The few operating-system services the module uses, behind one small
// interface: POSIX and Windows implementations side by side in platform.cpp.
//
// Compiler builtins and attributes, sanitizer hooks and the C library
// allocator's geometry are stated here too, each with its counterpart for the
// other compilers, so that the rest of the core is plain C++.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

// Forces a function inline where a call of its own would cost more than its
// body on a hot path. Unoptimised builds (debug, coverage) keep one copy: a
// forced copy in every caller would only multiply its lines and branches.
// NORBE_NEVER_INLINE keeps a rare path out of its callers.
#if defined(_MSC_VER) && !defined(__clang__)
#define NORBE_ALWAYS_INLINE __forceinline
#define NORBE_NEVER_INLINE __declspec(noinline)
#else
#if defined(__OPTIMIZE__)
#define NORBE_ALWAYS_INLINE [[gnu::always_inline]] inline
#else
#define NORBE_ALWAYS_INLINE inline
#endif
#define NORBE_NEVER_INLINE [[gnu::noinline]]
#endif

// Before a loop over bytes that sums a per-byte test: vectorise it one byte
// per lane. clang otherwise picks lanes as wide as the sum, which costs
// twice the instructions on short texts; GCC picks byte lanes by itself.
#if defined(__clang__)
#define NORBE_VECTORIZE_BYTES _Pragma("clang loop vectorize_width(16) interleave_count(1)")
#else
#define NORBE_VECTORIZE_BYTES
#endif

// Internal assertions: checked in debug builds (no NDEBUG) and in the
// sanitizer builds (NORBE_SANITIZE), compiled out of release builds. The
// condition must have no effect of its own; unchecked, it is not evaluated.
#if !defined(NDEBUG) || defined(NORBE_SANITIZE)
#define NORBE_CHECKED 1
#define NORBE_ASSERT(condition) \
  ((condition) ? (void)0 : ::norbe::core::assertion_failed(#condition, __FILE__, __LINE__))
#else
#define NORBE_CHECKED 0
#define NORBE_ASSERT(condition) ((void)sizeof((condition) ? 1 : 0))
#endif

// AddressSanitizer's manual poisoning, for memory that the module keeps for
// reuse (GCC and MSVC say __SANITIZE_ADDRESS__, clang __has_feature).
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NORBE_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) && !defined(NORBE_ASAN)
#define NORBE_ASAN 1
#endif
#ifdef NORBE_ASAN
#include <sanitizer/asan_interface.h>
#define NORBE_POISON(address, size) ASAN_POISON_MEMORY_REGION(address, size)
#define NORBE_UNPOISON(address, size) ASAN_UNPOISON_MEMORY_REGION(address, size)
#else
#define NORBE_POISON(address, size) ((void)(address), (void)(size))
#define NORBE_UNPOISON(address, size) ((void)(address), (void)(size))
#endif

namespace norbe::core {

// A failed internal assertion: reports it on standard error and aborts.
[[noreturn]] NORBE_NEVER_INLINE inline void assertion_failed(const char* condition, const char* file,
                                                             int line) noexcept {
  std::fprintf(stderr, "norbe: internal assertion failed: %s (%s:%d)\n", condition, file, line);
  std::abort();
}

// The C library allocator's chunk geometry, so that small blocks can be sized
// to fill the chunks they are given: a request of
// heap_granule * (c + 1) - heap_chunk_header bytes (c >= 1) is served without
// padding, and heap_smallest_block bytes is the most the smallest chunk holds.
#if defined(__GLIBC__) && defined(__LP64__)
// 64-bit glibc: chunks are multiples of 16 bytes, at least 32, each with an 8-byte
// size word in front of what it serves.
inline constexpr std::size_t heap_granule = 16;
inline constexpr std::size_t heap_chunk_header = 8;
inline constexpr std::size_t heap_smallest_block = 24;
#else
// Elsewhere (the Windows heap, macOS, musl): 16-byte granules whose bookkeeping
// lies outside the block is the portable assumption; a wrong guess costs
// padding, never correctness.
inline constexpr std::size_t heap_granule = 16;
inline constexpr std::size_t heap_chunk_header = 0;
inline constexpr std::size_t heap_smallest_block = 32;
#endif

// Writes all of text to file descriptor 1, retrying interrupted writes and
// continuing partial ones. A closed descriptor discards the text silently.
// Returns the empty string on success, else the error text
// ("Broken pipe (os error 32)", or "failed to write whole buffer" for a write
// that accepts no bytes). The caller serialises calls.
std::string write_fd1(std::string_view text);

// The operating system's name of the calling thread, "<unnamed>" when it has
// none or it cannot be read; truncated to fit. Makes no C++ allocation.
void current_thread_name(char (&name)[64]) noexcept;

}  // namespace norbe::core
