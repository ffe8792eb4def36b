// libFuzzer target: the version parser, its two text forms and the
// double-quoted form of a text, checked against a small reference model.
//
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Isrc \
//     fuzz/version_fuzzer.cpp src/core/{version,escape,unicode_tables}.cpp
//
// Invariants:
//   - parsing any byte string returns, never crashes;
//   - the outcome (entries or error message) equals the reference parser's;
//   - a version's plain text parses again to the same plain text and entries;
//   - copies are deep and equal;
//   - the double-quoted form of valid UTF-8 is quoted, holds no raw control
//     character, and unescapes back to the input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/escape.hpp"
#include "core/version.hpp"

namespace {

using norbe::core::Version;
using norbe::core::VersionError;
using norbe::core::VersionPartKind;

[[noreturn]] void fail(const char* what, std::string_view input) {
  std::fprintf(stderr, "invariant broken: %s\ninput (%zu bytes): ", what, input.size());
  for (unsigned char c : input) std::fprintf(stderr, "\\x%02x", c);
  std::fputc('\n', stderr);
  std::abort();
}

#define CHECK(condition, input)                \
  do {                                         \
    if (!(condition)) fail(#condition, input); \
  } while (0)

// Decodes one UTF-8 sequence; nullopt for anything malformed.
std::optional<char32_t> decode_utf8(std::string_view s, std::size_t& i) {
  const auto c = static_cast<unsigned char>(s[i]);
  const std::size_t length = c < 0x80           ? 1
                             : (c >> 5) == 0x6  ? 2
                             : (c >> 4) == 0xE  ? 3
                             : (c >> 3) == 0x1E ? 4
                                                : 0;
  if (length == 0 || i + length > s.size()) return std::nullopt;
  char32_t cp = length == 1 ? c : c & (0x7F >> length);
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(s[i + k]);
    if ((next >> 6) != 0x2) return std::nullopt;
    cp = (cp << 6) | (next & 0x3F);
  }
  constexpr char32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kMinimum[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
  i += length;
  return cp;
}

bool valid_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    if (!decode_utf8(s, i)) return false;
  }
  return true;
}

void encode_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// The inverse of the double-quoted form; nullopt when it is not one.
std::optional<std::string> unquote(std::string_view q) {
  if (q.size() < 2 || q.front() != '"' || q.back() != '"') return std::nullopt;
  q = q.substr(1, q.size() - 2);
  std::string out;
  for (std::size_t i = 0; i < q.size(); ++i) {
    if (q[i] == '"') return std::nullopt;  // a bare quote inside
    if (q[i] != '\\') {
      out += q[i];
      continue;
    }
    if (++i == q.size()) return std::nullopt;
    switch (q[i]) {
      case '\\':
        out += '\\';
        break;
      case '"':
        out += '"';
        break;
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      case 'n':
        out += '\n';
        break;
      case '0':
        out += '\0';
        break;
      case 'u': {
        if (++i == q.size() || q[i] != '{') return std::nullopt;
        const std::size_t close = q.find('}', i);
        if (close == std::string_view::npos || close == i + 1 || close - i > 7) return std::nullopt;
        char32_t cp = 0;
        for (std::size_t k = i + 1; k < close; ++k) {
          const char h = q[k];
          if (h >= '0' && h <= '9') {
            cp = cp * 16 + static_cast<char32_t>(h - '0');
          } else if (h >= 'a' && h <= 'f') {
            cp = cp * 16 + static_cast<char32_t>(h - 'a' + 10);
          } else {
            return std::nullopt;  // upper case or not hexadecimal
          }
        }
        if (q[i + 1] == '0' && close - i > 2) return std::nullopt;  // leading zero
        if (!norbe::core::needs_unicode_escape(cp)) return std::nullopt;
        encode_utf8(out, cp);
        i = close;
        break;
      }
      default:
        return std::nullopt;
    }
  }
  return out;
}

void check_double_quoted(std::string_view text) {
  std::string quoted;
  norbe::core::append_double_quoted(quoted, text);
  CHECK(valid_utf8(quoted), text);
  for (std::size_t i = 0; i < quoted.size();) {
    const std::optional<char32_t> cp = decode_utf8(quoted, i);
    // Every character left as it is must be printable and not extend a grapheme.
    CHECK(cp && (*cp == ' ' || !norbe::core::needs_unicode_escape(*cp)), text);
  }
  const std::optional<std::string> back = unquote(quoted);
  CHECK(back.has_value(), text);
  CHECK(*back == text, text);
}

// The reference parser: entries as (kind, text) or the error message.
struct Entry {
  VersionPartKind kind;
  std::string text;
};

bool is_alnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

std::variant<std::vector<Entry>, VersionError> reference_parse(std::string_view input) {
  using Kind = norbe::core::VersionErrorKind;
  std::vector<Entry> entries;
  bool rest = false;
  auto part = [&](std::string_view s) -> std::optional<VersionError> {
    if (rest) return VersionError{Kind::PartAfterRest, {}};
    if (s == "*" || s == ">") {
      rest = s == ">";
      entries.push_back({VersionPartKind::Wildcard, std::string(s)});
      return std::nullopt;
    }
    for (char c : s) {
      if (!is_alnum(c)) return VersionError{Kind::InvalidPart, std::string(s)};
    }
    if (s.empty()) return VersionError{Kind::EmptyPart, {}};
    const bool digits = s.find_first_not_of("0123456789") == std::string_view::npos;
    // Compare against 2**64 - 1 by length and then by text, without leading zeros.
    std::string_view trimmed = s;
    while (digits && trimmed.size() > 1 && trimmed.front() == '0') trimmed.remove_prefix(1);
    const std::string_view max = "18446744073709551615";
    if (digits && (trimmed.size() < max.size() || (trimmed.size() == max.size() && trimmed <= max))) {
      entries.push_back({VersionPartKind::Int, std::string(trimmed)});
    } else {
      entries.push_back({VersionPartKind::Str, std::string(s)});
    }
    return std::nullopt;
  };
  std::size_t start = 0;
  for (std::size_t i = 0; i < input.size(); ++i) {
    const char c = input[i];
    if (c != '.' && c != '-' && c != '+') continue;
    if (auto error = part(input.substr(start, i - start))) return *error;
    entries.push_back({VersionPartKind::Sep, std::string(1, c)});
    start = i + 1;
  }
  if (start == input.size()) return VersionError{Kind::TrailingSeparator, {}};
  if (auto error = part(input.substr(start))) return *error;
  return entries;
}

std::string reference_debug_text(const std::vector<Entry>& entries) {
  std::string out = "Version { parts: [";
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i != 0) out += ", ";
    const Entry& e = entries[i];
    switch (e.kind) {
      case VersionPartKind::Int:
        out += "Int(" + e.text + ")";
        break;
      case VersionPartKind::Str:
        out += "Str(\"" + e.text + "\")";
        break;
      case VersionPartKind::Wildcard:
        out += e.text == "*" ? "Wildcard(Single)" : "Wildcard(Rest)";
        break;
      case VersionPartKind::Sep:
        out += "Sep('" + e.text + "')";
        break;
    }
  }
  return out + "] }";
}

void check_entries(const Version& v, const std::vector<Entry>& expected, std::string_view input) {
  CHECK(v.size() == expected.size(), input);
  std::string plain;
  for (std::size_t i = 0; i < v.size(); ++i) {
    CHECK(v.kind(i) == expected[i].kind, input);
    CHECK(v.text(i) == expected[i].text, input);
    plain += expected[i].text;
  }
  CHECK(v.text() == plain, input);
  CHECK(norbe::core::plain_text(v) == plain, input);
  CHECK(norbe::core::debug_text(v) == reference_debug_text(expected), input);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const bool utf8 = valid_utf8(input);
  if (utf8) check_double_quoted(input);

  auto parsed = norbe::core::parse_version(input);
  auto expected = reference_parse(input);
  CHECK(parsed.index() == expected.index(), input);

  if (auto* error = std::get_if<VersionError>(&parsed)) {
    const VersionError& want = std::get<VersionError>(expected);
    CHECK(error->kind == want.kind, input);
    CHECK(error->part == want.part, input);
    // From Python the text is always valid UTF-8, and so is each part of it.
    if (utf8) {
      std::string message = norbe::core::version_error_message(*error);
      if (error->kind == norbe::core::VersionErrorKind::InvalidPart) {
        CHECK(message.rfind("InvalidPart(", 0) == 0 && message.back() == ')', input);
        const auto back = unquote(std::string_view(message).substr(12, message.size() - 13));
        CHECK(back && *back == error->part, input);
      } else {
        CHECK(message.find_first_of("(\"") == std::string::npos, input);
      }
    }
    return 0;
  }

  const Version& v = std::get<Version>(parsed);
  const auto& entries = std::get<std::vector<Entry>>(expected);
  check_entries(v, entries, input);

  // The plain text is itself a version with the same entries.
  auto again = norbe::core::parse_version(v.text());
  CHECK(std::holds_alternative<Version>(again), input);
  check_entries(std::get<Version>(again), entries, input);

  // Copies are deep: they outlive the original.
  std::optional<Version> original(v);
  Version copy(*original);
  Version assigned;
  assigned = copy;
  const Version& alias = assigned;
  assigned = alias;  // self-assignment keeps the value
  original.reset();
  check_entries(copy, entries, input);
  check_entries(assigned, entries, input);
  CHECK(copy == assigned, input);
  Version moved(std::move(copy));
  CHECK(copy.empty() && copy.size() == 0 && copy.text().empty(), input);
  check_entries(moved, entries, input);
  return 0;
}
