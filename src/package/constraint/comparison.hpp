// The comparison slot of every constraint class (SpecOption included), the
// type-checked building of the Cmp it answers, and the part every constraint
// class shares.
#pragma once

#include <Python.h>

#include <optional>
#include <utility>

#include "convert/conversions.hpp"
#include "core/constraint.hpp"
#include "runtime/classes.hpp"

namespace norbe {

// The type-checked comparison: a new Cmp object, or an empty Ref with
// NotImplementedError set.
Ref build_cmp(core::Constraint lhs, core::Constraint rhs, core::CmpType op);

// The rich-comparison slot: the receiver's payload becomes the left
// constraint. It never answers True or False: it builds a Cmp, returns
// NotImplemented for an operand that is no constraint, or raises
// NotImplementedError for a refused combination.
template <class Traits>
PyObject* richcompare(PyObject* self, PyObject* other, int op) noexcept {
  return barrier([&]() -> Ref {
    if (!Traits::is_instance(self)) return Ref::borrow(Py_NotImplemented);
    auto* object = Traits::cast(self);
    Traits::check_access(object);
    // Held for the whole comparison: another thread's write waits for it
    // instead of making this borrow fail (and the comparison answer a bool).
    CriticalSection section(self);
    SharedBorrow borrow(object->borrow);
    if (!borrow) return Ref::borrow(Py_NotImplemented);
    std::optional<core::Constraint> rhs = operand_from_object(other);
    if (!rhs) return Ref::borrow(Py_NotImplemented);
    std::optional<core::CmpType> cmp_type = core::cmp_type_from_operator(op);
    if (!cmp_type) return Ref::borrow(Py_NotImplemented);
    return build_cmp(object->payload.share(), std::move(*rhs), *cmp_type);
  });
}

// What every constraint class shares: its type object, published in the
// registry's slot for its kind, and the comparison slot.
template <class Traits, class Node, class Extra = NoExtra>
struct ConstraintClass : ClassBase<Traits, core::Shared<Node>, Extra> {
  static constexpr auto& type_object =
      registry::constraint_types[static_cast<std::size_t>(core::Shared<Node>::kind)];
  static constexpr richcmpfunc richcompare = norbe::richcompare<Traits>;
};

}  // namespace norbe
