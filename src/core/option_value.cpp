// Text form of option values.
#include "core/option_value.hpp"

#include <charconv>

#include "core/float_text.hpp"

namespace norbe::core {

void append_option_text(std::string& out, const SpecOptionValue& value) {
  switch (kind_of(value)) {
    case OptionKind::Bool:
      out += *std::get_if<bool>(&value) ? "true" : "false";
      return;
    case OptionKind::Int: {
      char buf[24];  // 20 digits and a sign cover every int64
      const std::to_chars_result res =
          std::to_chars(buf, buf + sizeof buf, *std::get_if<std::int64_t>(&value));
      out.append(buf, res.ptr);
      return;
    }
    case OptionKind::Float:
      append_float_text(out, *std::get_if<double>(&value));
      return;
    case OptionKind::Str:
      out += std::get_if<InlineString>(&value)->view();
      return;
    case OptionKind::Version:
      append_plain_text(out, *std::get_if<Version>(&value));
      return;
  }
}

}  // namespace norbe::core
