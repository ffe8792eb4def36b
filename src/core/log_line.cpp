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

bool valid_utf8(std::string_view text) noexcept {
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

}  // namespace norbe::core
