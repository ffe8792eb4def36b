// Text of a double: the shortest round-trip digits written positionally.
#pragma once

#include <string>

namespace norbe::core {

// 1.0 -> "1", 1e21 -> "1000000000000000000000", 1e-7 -> "0.0000001",
// 2**63 -> "9223372036854776000", NaN -> "NaN", inf -> "inf", -0.0 -> "-0".
void append_float_text(std::string& out, double value);

}  // namespace norbe::core
