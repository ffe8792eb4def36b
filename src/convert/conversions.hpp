// Conversions between Python objects and the module's values: option values
// and constraint trees, both ways. The classes of spec/ and package/ use
// them; these files know the classes only through the registry
// (convert/registry.hpp).
//
// Every conversion from Python returns an empty optional with the Python
// exception set when it fails; the "try" forms fail without setting one.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "convert/registry.hpp"
#include "core/constraint.hpp"
#include "core/option_value.hpp"
#include "core/platform.hpp"
#include "runtime/classes.hpp"

namespace norbe {

// Option values

// The option values whose conversion reads a field or two and runs no code
// of the user's: an exact bool, float or Version, a compact int (one that
// fits a machine word) and a compact ASCII str. make(kind, args...) receives
// the value's kind (an integral_constant of OptionKind) and its
// constructor's arguments; false, with nothing made, for any other object.
template <class Make>
NORBE_ALWAYS_INLINE bool plain_option_value(PyObject* object, Make&& make) {
  using core::OptionKind;
  constexpr auto kind = []<OptionKind K>() { return std::integral_constant<OptionKind, K>{}; };
  PyTypeObject* type = Py_TYPE(object);
  if (type == &PyUnicode_Type) {
    if (!PyUnicode_IS_COMPACT_ASCII(object)) return false;
    const std::string_view text = compact_ascii_view(object);
    make(kind.template operator()<OptionKind::Str>(), text.data(), text.size());
  } else if (type == &PyLong_Type) {
    auto* integer = reinterpret_cast<PyLongObject*>(object);
    if (!PyUnstable_Long_IsCompact(integer)) return false;
    make(kind.template operator()<OptionKind::Int>(),
         static_cast<std::int64_t>(PyUnstable_Long_CompactValue(integer)));
  } else if (type == &PyBool_Type) {
    make(kind.template operator()<OptionKind::Bool>(), object == Py_True);
  } else if (type == &PyFloat_Type) {
    make(kind.template operator()<OptionKind::Float>(), PyFloat_AS_DOUBLE(object));
  } else if (type == registry::version_type.load(std::memory_order_acquire)) {
    make(kind.template operator()<OptionKind::Version>(), registry::version_of(object));
  } else {
    return false;
  }
  return true;
}

// A value holding alternative K of the option value (SpecOptionValue, or an
// OptionalSpecOptionValue that holds one), made from plain_option_value's
// arguments in the place of the result.
template <class Value, core::OptionKind K, class... Args>
Value value_in_place(Args&&... args) {
  constexpr auto kKind = std::in_place_index<static_cast<std::size_t>(K)>;
  if constexpr (std::is_same_v<Value, core::SpecOptionValue>) {
    return Value(kKind, std::forward<Args>(args)...);
  } else {
    return Value(std::in_place, kKind, std::forward<Args>(args)...);
  }
}

// Tries bool, int, float, str and Version in this order, discarding the
// exceptions of the steps that do not accept the object. nullopt (with no
// exception set): none did.
std::optional<core::SpecOptionValue> try_option_value(PyObject* object);

// As above, but a failure logs and raises TypeError
// "cannot cast Python type '<type>' to SpecOptionValue".
std::optional<core::SpecOptionValue> option_value_from_object(PyObject* object);

Ref option_value_to_object(const core::SpecOptionValue& value);

// str(type(object)), as the failure messages show it.
std::optional<std::string> type_text(PyObject* object);

// Constraints

// Any object to a constraint: the module's own classes by type, then the
// option-value kinds as constants. A failure logs and raises TypeError
// "cannot convert '<type>' to Constraint".
std::optional<core::Constraint> constraint_from_object(PyObject* object);

// A sequence (not a str) to a list of constraints, in iteration order.
std::optional<core::ConstraintList> constraint_list_from_object(PyObject* object);
// The same, into `constraints` (empty): false with the exception set.
bool fill_constraint_list(PyObject* object, core::ConstraintList& constraints);

// A new object of the class matching the constraint's variant, holding a
// share of its node (nothing is copied).
Ref constraint_to_object(const core::Constraint& constraint);
Ref constraint_list_to_object(std::span<const core::Constraint> constraints);

// The operand conversion of the comparison slot: as constraint_from_object,
// but a failure answers nullopt with no exception set; its message is made
// only for the log event, and only if that event is enabled.
std::optional<core::Constraint> operand_from_object(PyObject* object);

}  // namespace norbe
