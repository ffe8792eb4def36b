// The text of one log line: the pure part of the diagnostic log
// (src/process/log.cpp writes the lines).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace norbe::core {

// The levels in the order of log::Level: TRACE, DEBUG, INFO, WARN, ERROR.
inline constexpr std::size_t log_level_count = 5;

// "<LEVEL> <target>: <message>\n", the level right-aligned to five columns;
// with colour the level in its colour and the target and colon dimmed.
std::string format_log_line(std::size_t level, std::string_view target, std::string_view message,
                            bool colour);

}  // namespace norbe::core
