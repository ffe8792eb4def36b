// Reading UTF-8: one decoder for every place that reads code points.
#pragma once

#include <cstddef>
#include <string_view>

namespace norbe::core {

// What decode_utf8 returns for a malformed sequence: no code point has this value.
inline constexpr char32_t utf8_malformed = 0xFFFFFFFF;

// Decodes the code point at s[i] (i < s.size()) and advances i past it. A
// sequence that is not well-formed (a stray or truncated byte, an overlong
// form, a surrogate, a code point above U+10FFFF) returns utf8_malformed and
// leaves i where it was.
inline char32_t decode_utf8(std::string_view s, std::size_t& i) noexcept {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = byte(i);
  std::size_t length;
  char32_t cp;
  char32_t min;
  if (lead < 0x80) {
    ++i;
    return lead;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, cp = lead & 0x1F, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, cp = lead & 0x0F, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, cp = lead & 0x07, min = 0x10000;
  } else {
    return utf8_malformed;
  }
  if (s.size() - i < length) return utf8_malformed;
  for (std::size_t k = 1; k < length; ++k) {
    const unsigned char c = byte(i + k);
    if ((c & 0xC0) != 0x80) return utf8_malformed;
    cp = (cp << 6) | (c & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return utf8_malformed;
  i += length;
  return cp;
}

// Whether the bytes are well-formed UTF-8.
inline bool valid_utf8(std::string_view text) noexcept {
  for (std::size_t i = 0; i < text.size();) {
    if (decode_utf8(text, i) == utf8_malformed) return false;
  }
  return true;
}

}  // namespace norbe::core
