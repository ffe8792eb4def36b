// Option values taken from and handed back to Python, and the SpecOption class.
#pragma once

#include <array>
#include <optional>

#include "core/constraint.hpp"
#include "core/option_value.hpp"
#include "runtime/classes.hpp"

namespace norbe {

// Tries bool, int, float, str and Version in this order, discarding the
// exceptions of the steps that do not accept the object. nullopt: none did.
std::optional<core::SpecOptionValue> try_option_value(PyObject* object);

// As above, but a failure logs and raises TypeError
// "cannot cast Python type '<type>' to SpecOptionValue".
core::SpecOptionValue option_value_from_object(PyObject* object);

Ref option_value_to_object(const core::SpecOptionValue& value);

// str(type(object)), as the failure messages show it.
std::string type_text(PyObject* object);

struct SpecOptionClass : ClassBase<SpecOptionClass, core::SpecOptionNode> {
  static constexpr std::array<const char*, 2> parameters{"package_name", "option_name"};
  static constexpr Signature signature{"SpecOption.__new__()", parameters, 2, false};
  static ClassSpec spec();
  static Ref construct(const BoundArguments<2>& arguments);
  static core::Constraint to_constraint(const Payload& payload) {
    return core::Constraint::emplace<core::SpecOptionNode>(payload);
  }
};

}  // namespace norbe
