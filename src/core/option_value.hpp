// Typed option values and their text form.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "core/inline_string.hpp"
#include "core/version.hpp"

namespace norbe::core {

// The kinds in their fixed order; the index of the variant is the kind.
enum class OptionKind : std::uint8_t { Bool, Int, Float, Str, Version };

// Str texts are kept inline up to 23 bytes (InlineString).
using SpecOptionValue = std::variant<bool, std::int64_t, double, InlineString, Version>;
using OptionalSpecOptionValue = std::optional<SpecOptionValue>;

inline OptionKind kind_of(const SpecOptionValue& value) {
  return static_cast<OptionKind>(value.index());
}

// "true"/"false", decimal integers, float text, the text itself, the version's plain text.
void append_option_text(std::string& out, const SpecOptionValue& value);

}  // namespace norbe::core
