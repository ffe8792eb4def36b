// Process-unique positive thread numbers, assigned on first use.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace norbe {

inline std::uint64_t current_thread_id() noexcept {
  static std::atomic<std::uint64_t> next{1};
  thread_local const std::uint64_t id = next.fetch_add(1, std::memory_order_relaxed);
  return id;
}

inline std::string thread_id_text(std::uint64_t id) {
  return "ThreadId(" + std::to_string(id) + ")";
}

}  // namespace norbe
