#include "core/platform.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <io.h>
#include <windows.h>
#else
#include <pthread.h>
#include <unistd.h>
#endif

namespace norbe::core {
namespace {

std::string os_error_text(int error) {
  return std::string(std::strerror(error)) + " (os error " + std::to_string(error) + ")";
}

#if defined(_WIN32)
// The C runtime's descriptor 1 (the console or whatever it was redirected to);
// _write takes an unsigned int count, so large texts go in pieces.
long long write_some(std::string_view text) {
  const auto count = static_cast<unsigned int>(text.size() < INT_MAX ? text.size() : INT_MAX);
  return _write(1, text.data(), count);
}
#else
long long write_some(std::string_view text) { return ::write(1, text.data(), text.size()); }
#endif

void set_unnamed(char (&name)[64]) noexcept { std::snprintf(name, sizeof name, "%s", "<unnamed>"); }

}  // namespace

std::string write_fd1(std::string_view text) {
  while (!text.empty()) {
    const long long written = write_some(text);
    if (written < 0) {
      const int error = errno;
      if (error == EINTR) continue;
      if (error == EBADF) return {};
      return os_error_text(error);
    }
    if (written == 0) return "failed to write whole buffer";
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return {};
}

#if defined(_WIN32)
void current_thread_name(char (&name)[64]) noexcept {
  set_unnamed(name);
  // GetThreadDescription exists from Windows 10 1607 on: looked up at run time
  // so that the module still loads on older systems.
  using GetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PWSTR*);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return;
  auto get_description =
      reinterpret_cast<GetThreadDescriptionFn>(reinterpret_cast<void*>(GetProcAddress(kernel, "GetThreadDescription")));
  if (get_description == nullptr) return;
  PWSTR description = nullptr;
  if (FAILED(get_description(GetCurrentThread(), &description)) || description == nullptr) return;
  char utf8[4 * sizeof name];
  const int size = WideCharToMultiByte(CP_UTF8, 0, description, -1, utf8, sizeof utf8, nullptr, nullptr);
  LocalFree(description);
  if (size <= 1) return;
  // Truncates at a character boundary (never inside a multi-byte sequence).
  std::size_t length = std::strlen(utf8);
  if (length >= sizeof name) {
    length = sizeof name - 1;
    while (length > 0 && (static_cast<unsigned char>(utf8[length]) & 0xC0) == 0x80) --length;
  }
  std::memcpy(name, utf8, length);
  name[length] = '\0';
}
#else
void current_thread_name(char (&name)[64]) noexcept {
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') set_unnamed(name);
}
#endif

}  // namespace norbe::core
