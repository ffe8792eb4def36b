// The few operating-system services the module uses, behind one small
// interface: POSIX and Windows implementations side by side in platform.cpp.
#pragma once

#include <string>
#include <string_view>

// Forces a function inline where a call of its own would cost more than its
// body on a hot path.
// NORBE_NEVER_INLINE keeps a rare path out of its callers.
#if defined(_MSC_VER) && !defined(__clang__)
#define NORBE_ALWAYS_INLINE __forceinline
#define NORBE_NEVER_INLINE __declspec(noinline)
#else
#define NORBE_ALWAYS_INLINE [[gnu::always_inline]] inline
#define NORBE_NEVER_INLINE [[gnu::noinline]]
#endif

namespace norbe::core {

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
