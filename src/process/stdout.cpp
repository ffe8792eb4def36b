#include "process/stdout.hpp"

#include "core/platform.hpp"

namespace norbe {

std::recursive_mutex& stdout_lock() {
  static std::recursive_mutex lock;
  return lock;
}

std::string write_stdout(std::string_view text) {
  std::lock_guard guard(stdout_lock());
  return core::write_fd1(text);
}

}  // namespace norbe
