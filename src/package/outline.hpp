// PackageOutline: one package's name, constraints, option settings and defaults.
#pragma once

#include <string>
#include <vector>

#include "core/constraint.hpp"
#include "core/inline_string.hpp"
#include "core/option_map.hpp"
#include "core/option_value.hpp"
#include "runtime/classes.hpp"

namespace norbe {

struct Outline {
  core::InlineString name;
  core::ConstraintList constraints;
  core::OptionMap<core::SpecOptionValue> set_options;
  core::OptionMap<core::OptionalSpecOptionValue> set_defaults;
};

struct PackageOutlineClass : ClassBase<PackageOutlineClass, Outline> {
  static constexpr const char* name = "PackageOutline";
  // Only the name is required; further keywords are collected (and refused).
  static constexpr Parameters<4, 1, true> parameters{{"name", "constraints", "set_options", "set_defaults"}};
  static Ref construct(const BoundArguments<4>& arguments);
};

}  // namespace norbe
