// The double-quoted form of a text: quotes, backslash escapes and \u{..} for
// characters that are not printable or that extend a grapheme.
#pragma once

#include <string>
#include <string_view>

namespace norbe::core {

// Appends '"' + escaped(utf8) + '"'. The input is valid UTF-8.
void append_double_quoted(std::string& out, std::string_view utf8);

// True when the code point is written as \u{..}: general category Cc, Cf, Cs,
// Co, Cn, Zl, Zp, Zs (except the ASCII space) or the Grapheme_Extend property.
bool needs_unicode_escape(char32_t cp);

}  // namespace norbe::core
