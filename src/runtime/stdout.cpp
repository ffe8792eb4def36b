#include "runtime/stdout.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace norbe {

std::recursive_mutex& stdout_lock() {
  static std::recursive_mutex lock;
  return lock;
}

std::string write_stdout(std::string_view text) {
  std::lock_guard guard(stdout_lock());
  while (!text.empty()) {
    ssize_t written = ::write(1, text.data(), text.size());
    if (written < 0) {
      int error = errno;
      if (error == EINTR) continue;
      if (error == EBADF) return {};
      return std::string(std::strerror(error)) + " (os error " + std::to_string(error) + ")";
    }
    if (written == 0) return "failed to write whole buffer";
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return {};
}

}  // namespace norbe
