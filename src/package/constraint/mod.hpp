// Conversions between Python objects and constraint trees, and the
// comparison operators shared by every constraint class and SpecOption.
#pragma once

#include <optional>
#include <vector>

#include "core/constraint.hpp"
#include "runtime/classes.hpp"

namespace norbe {

// Any object to a constraint: the module's own classes by type, then the
// option-value kinds as constants. A failure logs and raises TypeError
// "cannot convert '<type>' to Constraint".
core::Constraint constraint_from_object(PyObject* object);

// As above, but a failure is discarded (after its log event): nullopt.
std::optional<core::Constraint> try_constraint_from_object(PyObject* object);

// A sequence (not a str) to a list of constraints, in iteration order.
std::vector<core::Constraint> constraint_list_from_object(PyObject* object);

// A new object of the class matching the constraint's variant, holding a
// copy of its payload (the node itself is not copied first).
Ref constraint_to_object(const core::Constraint& constraint);
Ref constraint_list_to_object(const std::vector<core::Constraint>& constraints);

// The type-checked comparison: a new Cmp object, or an empty Ref with
// NotImplementedError set (a refusal is an ordinary result of an operator,
// so it is reported without a C++ throw).
Ref build_cmp(core::Constraint lhs, core::Constraint rhs, core::CmpType op);

// The rich-comparison slot of a class whose payload converts to a constraint
// (Traits::to_constraint). It never answers True or False: it builds a Cmp,
// returns NotImplemented for an operand that is no constraint, or raises.
template <class Traits>
PyObject* richcompare(PyObject* self, PyObject* other, int op) noexcept {
  return barrier<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!Traits::is_instance(self)) Py_RETURN_NOTIMPLEMENTED;
    auto* object = Traits::cast(self);
    Traits::check_access(object);
    if (!try_borrow_shared(object->borrow)) Py_RETURN_NOTIMPLEMENTED;
    SharedBorrow borrow(object->borrow, SharedBorrow::Adopt{});
    std::optional<core::Constraint> rhs = try_constraint_from_object(other);
    if (!rhs) Py_RETURN_NOTIMPLEMENTED;
    std::optional<core::CmpType> cmp_type = core::cmp_type_from_operator(op);
    if (!cmp_type) Py_RETURN_NOTIMPLEMENTED;
    return build_cmp(Traits::to_constraint(object->payload), std::move(*rhs), *cmp_type).release();
  });
}

// Reads and writes of constraint-valued properties.
inline Ref read_constraint(const core::Constraint& constraint) {
  return constraint_to_object(constraint);
}

}  // namespace norbe
