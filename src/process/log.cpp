#include "process/log.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/log_line.hpp"
#include "core/utf8.hpp"
#include "process/stdout.hpp"

namespace norbe::log {

std::atomic<int> g_min_enabled_level{static_cast<int>(Level::Error) + 1};

namespace {

enum SinkState : int { kUnset, kBeingSet, kSet };
std::atomic<int> g_sink_state{kUnset};
bool g_colour = false;  // written once, before g_sink_state becomes kSet

}  // namespace

bool colour_from_environment() noexcept {
  const char* value = std::getenv("NO_COLOR");
  if (value == nullptr || value[0] == '\0') return true;
  return !core::valid_utf8(value);
}

bool install_sink(bool colour) noexcept {
  int expected = kUnset;
  if (!g_sink_state.compare_exchange_strong(expected, kBeingSet, std::memory_order_acq_rel)) return false;
  g_colour = colour;
  g_sink_state.store(kSet, std::memory_order_release);
  g_min_enabled_level.store(static_cast<int>(Level::Info), std::memory_order_relaxed);
  return true;
}

void write_event(const CallSite& site, std::string_view message) noexcept {
  if (g_sink_state.load(std::memory_order_acquire) != kSet) return;
  try {
    std::string error = write_stdout(
        core::format_log_line(static_cast<std::size_t>(site.level), site.target, message, g_colour));
    if (!error.empty())
      std::fprintf(stderr, "norbe: cannot write a log event to stdout: %s\n", error.c_str());
  } catch (...) {
    std::fputs("norbe: cannot write a log event to stdout: out of memory\n", stderr);
  }
}

}  // namespace norbe::log
