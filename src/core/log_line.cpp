#include "core/log_line.hpp"

namespace norbe::core {

namespace {

constexpr std::string_view kLevelWords[log_level_count] = {"TRACE", "DEBUG", " INFO", " WARN", "ERROR"};
constexpr std::string_view kLevelColours[log_level_count] = {"\x1b[35m", "\x1b[34m", "\x1b[32m", "\x1b[33m",
                                                             "\x1b[31m"};
constexpr std::string_view kDim = "\x1b[2m";
constexpr std::string_view kReset = "\x1b[0m";

}  // namespace

std::string format_log_line(std::size_t level, std::string_view target, std::string_view message,
                            bool colour) {
  std::string line;
  line.reserve(message.size() + 64);
  if (colour) {
    line.append(kLevelColours[level]).append(kLevelWords[level]).append(kReset).append(" ");
    line.append(kDim).append(target).append(kReset);
    line.append(kDim).append(":").append(kReset).append(" ");
  } else {
    line.append(kLevelWords[level]).append(" ").append(target).append(": ");
  }
  line.append(message).append("\n");
  return line;
}

}  // namespace norbe::core
