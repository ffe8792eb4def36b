#include "core/escape.hpp"

#include <cstddef>
#include <cstdint>

#include "core/unicode_tables.hpp"
#include "core/utf8.hpp"

namespace norbe::core {

namespace {

constexpr char32_t replacement_char = 0xFFFD;

// ASCII that goes out unchanged: printable, not a quote or backslash.
bool is_plain_ascii(unsigned char c) {
  return c >= 0x20 && c < 0x7F && c != '"' && c != '\\';
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void append_unicode_escape(std::string& out, char32_t cp) {
  static constexpr char hex[] = "0123456789abcdef";
  char digits[8];
  int n = 0;
  do {
    digits[n++] = hex[cp & 0xF];
    cp >>= 4;
  } while (cp != 0);
  out.append("\\u{");
  while (n > 0) out.push_back(digits[--n]);
  out.push_back('}');
}

}  // namespace

bool needs_unicode_escape(char32_t cp) {
  if (cp < 0x80) return cp < 0x20 || cp == 0x7F;
  return is_unprintable_category(cp) || is_grapheme_extend(cp);
}

void append_double_quoted(std::string& out, std::string_view utf8) {
  out.reserve(out.size() + utf8.size() + 2);
  out.push_back('"');
  std::size_t i = 0;
  while (i < utf8.size()) {
    // Runs of plain ASCII, the common case, are copied whole.
    std::size_t run = i;
    while (run < utf8.size() && is_plain_ascii(static_cast<unsigned char>(utf8[run]))) ++run;
    out.append(utf8.substr(i, run - i));
    if (run == utf8.size()) break;
    i = run;
    // The input is meant to be valid UTF-8; a malformed sequence reads as
    // U+FFFD and skips one byte, so every input is written without reading
    // out of bounds.
    char32_t cp = decode_utf8(utf8, i);
    if (cp == utf8_malformed) {
      cp = replacement_char;
      ++i;
    }
    switch (cp) {
      case '\\':
        out.append("\\\\");
        break;
      case '"':
        out.append("\\\"");
        break;
      case '\t':
        out.append("\\t");
        break;
      case '\r':
        out.append("\\r");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\0':
        out.append("\\0");
        break;
      default:
        if (needs_unicode_escape(cp)) {
          append_unicode_escape(out, cp);
        } else {
          append_utf8(out, cp);
        }
    }
  }
  out.push_back('"');
}

}  // namespace norbe::core
