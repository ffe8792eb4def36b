#include "runtime/log.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "runtime/stdout.hpp"

namespace norbe::log {

std::atomic<int> g_min_enabled_level{static_cast<int>(Level::Error) + 1};

namespace {

enum SinkState : int { kUnset, kBeingSet, kSet };
std::atomic<int> g_sink_state{kUnset};
bool g_colour = false;  // written once, before g_sink_state becomes kSet

constexpr std::string_view kLevelWords[] = {"TRACE", "DEBUG", " INFO", " WARN", "ERROR"};
constexpr std::string_view kLevelColours[] = {"\x1b[35m", "\x1b[34m", "\x1b[32m", "\x1b[33m", "\x1b[31m"};
constexpr std::string_view kDim = "\x1b[2m";
constexpr std::string_view kReset = "\x1b[0m";

std::string format_line(const CallSite& site, std::string_view message, bool colour) {
  const auto level = static_cast<std::size_t>(site.level);
  std::string line;
  line.reserve(message.size() + 64);
  if (colour) {
    line.append(kLevelColours[level]).append(kLevelWords[level]).append(kReset).append(" ");
    line.append(kDim).append(site.target).append(kReset);
    line.append(kDim).append(":").append(kReset).append(" ");
  } else {
    line.append(kLevelWords[level]).append(" ").append(site.target).append(": ");
  }
  line.append(message).append("\n");
  return line;
}

bool valid_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    std::size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || i + length > text.size()) return false;
    char32_t cp = length == 1 ? c : c & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
      unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next >> 6) != 0x2) return false;
      cp = (cp << 6) | (next & 0x3F);
    }
    constexpr char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMinimum[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

}  // namespace

bool colour_from_environment() noexcept {
  const char* value = std::getenv("NO_COLOR");
  if (value == nullptr || value[0] == '\0') return true;
  return !valid_utf8(value);
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
    std::string error = write_stdout(format_line(site, message, g_colour));
    if (!error.empty())
      std::fprintf(stderr, "norbe: cannot write a log event to stdout: %s\n", error.c_str());
  } catch (...) {
    std::fputs("norbe: cannot write a log event to stdout: out of memory\n", stderr);
  }
}

}  // namespace norbe::log
