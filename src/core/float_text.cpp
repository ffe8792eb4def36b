// Positional text of a double built from the shortest round-trip digits.
#include "core/float_text.hpp"

#include <charconv>
#include <cmath>
#include <cstddef>

namespace norbe::core {

void append_float_text(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }

  // Scientific form gives the shortest digits that read back as the same
  // double: "-d.ddde-XX". Positional notation is laid out from those digits,
  // never from the exact binary value.
  char buf[40];
  const std::to_chars_result res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  const char* p = buf;
  const char* const end = res.ptr;

  if (*p == '-') {
    out += '-';
    ++p;
  }

  // Collect the significant digits (the first, then those after the point).
  char digits[24];
  std::size_t count = 0;
  for (; p != end && *p != 'e'; ++p) {
    if (*p != '.') digits[count++] = *p;
  }
  ++p;  // skip 'e'
  const bool negative_exponent = *p == '-';
  ++p;  // skip the exponent sign
  int exponent = 0;
  for (; p != end; ++p) exponent = exponent * 10 + (*p - '0');
  if (negative_exponent) exponent = -exponent;

  // The decimal point falls after `point` digits of the significand.
  const long point = static_cast<long>(exponent) + 1;
  const long n = static_cast<long>(count);
  if (point >= n) {
    out.append(digits, count);
    out.append(static_cast<std::size_t>(point - n), '0');
  } else if (point <= 0) {
    out.reserve(out.size() + 2 + static_cast<std::size_t>(-point) + count);
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out.append(digits, count);
  } else {
    out.append(digits, static_cast<std::size_t>(point));
    out += '.';
    out.append(digits + point, count - static_cast<std::size_t>(point));
  }
}

}  // namespace norbe::core
