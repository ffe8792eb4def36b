// The SpecOption class: a reference to one option of one package. The option
// values it is compared with are converted in convert/conversions.hpp.
#pragma once

#include "convert/conversions.hpp"
#include "core/constraint.hpp"
#include "package/constraint/comparison.hpp"
#include "runtime/classes.hpp"

namespace norbe {

struct SpecOptionClass : ConstraintClass<SpecOptionClass, core::SpecOptionNode> {
  static constexpr const char* name = "SpecOption";
  static constexpr Parameters<2> parameters{{"package_name", "option_name"}};
  static Ref construct(const BoundArguments<2>& arguments);
  static PyGetSetDef properties[];
};

}  // namespace norbe
