// The diagnostic log: static call sites, one process-wide sink installed by
// init_tracing(), and a level check that costs one comparison while off.
#pragma once

#include <atomic>
#include <string_view>

namespace norbe::log {

enum class Level : int { Trace = 0, Debug = 1, Info = 2, Warn = 3, Error = 4 };

// One static record per place in the code that emits an event. Every event of
// this module carries the single field "message".
struct CallSite {
  Level level;
  const char* target;  // module path joined by "::"
  // The recorded source location of the event ("src/package/constraint/mod",
  // 324). Part of the record, not of the line: the sink does not show it.
  const char* file;
  int line;
};

// The least severe level the installed sink passes; above Error while no sink is installed.
extern std::atomic<int> g_min_enabled_level;

inline bool enabled(const CallSite& site) noexcept {
  return static_cast<int>(site.level) >= g_min_enabled_level.load(std::memory_order_relaxed);
}

// Writes the event's line through the installed sink. Never fails or raises.
void write_event(const CallSite& site, std::string_view message) noexcept;

inline void emit(const CallSite& site, std::string_view message) noexcept {
  if (enabled(site)) write_event(site, message);
}

// Installs the sink. Returns false when one is already installed.
bool install_sink(bool colour) noexcept;

// Colour is on unless NO_COLOR is set to a non-empty, valid UTF-8 value.
bool colour_from_environment() noexcept;

}  // namespace norbe::log
