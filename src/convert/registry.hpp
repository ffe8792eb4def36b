// The module's classes as the conversions see them, without naming any: the
// type objects, which each class publishes into its slot here when it is
// made, and the functions that take a share of an instance's constraint or
// make a new instance. The functions are filled in from the class lists at
// the top of the tree (src/registry.cpp), so that this folder includes no
// class header.
#pragma once

#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <tuple>

#include "core/constraint.hpp"
#include "core/version.hpp"
#include "runtime/classes.hpp"

namespace norbe::registry {

inline constexpr std::size_t constraint_kind_count = std::tuple_size_v<core::ConstraintNodes>;

// Each constraint class's type object, by core::ConstraintKind; null until
// the class is made.
inline std::atomic<PyTypeObject*> constraint_types[constraint_kind_count] = {};

// The instance's constraint (a share of its node, nothing copied), taken
// under a shared borrow; empty with the exception set when the instance is
// borrowed exclusively. The object is an instance of the kind's class.
using ShareConstraint = core::Constraint (*)(PyObject* object);
extern const std::array<ShareConstraint, constraint_kind_count> share_constraint;

// A new instance of the class of the constraint's kind, holding a share of its node.
using MakeConstraintObject = Ref (*)(const core::Constraint& constraint);
extern const std::array<MakeConstraintObject, constraint_kind_count> make_constraint_object;

// The Version class: its type object, the layout of its instances (read
// directly on the conversions' fast path), and a new instance.
inline std::atomic<PyTypeObject*> version_type{nullptr};
using VersionObject = Instance<core::Version>;
inline const core::Version& version_of(PyObject* object) noexcept {
  return reinterpret_cast<VersionObject*>(object)->payload;
}
using MakeVersionObject = Ref (*)(core::Version&& version);
extern const MakeVersionObject make_version_object;

}  // namespace norbe::registry
