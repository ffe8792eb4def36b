// Cmp, CmpType, Depends, Maximize, Minimize, NumOf and Value.
#pragma once

#include "core/constraint.hpp"
#include "package/constraint/comparison.hpp"
#include "runtime/classes.hpp"

namespace norbe {

struct CmpClass : ConstraintClass<CmpClass, core::CmpNode> {
  static constexpr const char* name = "Cmp";
  static constexpr Parameters<3> parameters{{"lhs", "rhs", "op"}};
  static Ref construct(const BoundArguments<3>& arguments);
  static PyGetSetDef properties[];
  static PyMethodDef methods[];
};

struct CmpTypeClass : ClassBase<CmpTypeClass, core::CmpType> {
  static constexpr const char* name = "CmpType";
  static PyObject* repr(PyObject* self) noexcept;
  static PyObject* as_int(PyObject* self) noexcept;
  // Adds the six members to the new type.
  static bool complete(PyTypeObject* type);
};

struct DependsClass : ConstraintClass<DependsClass, core::DependsNode> {
  static constexpr const char* name = "Depends";
  static constexpr Parameters<1> parameters{{"name"}};
  static Ref construct(const BoundArguments<1>& arguments);
  static PyGetSetDef properties[];
};

// Maximize(item) and Minimize(item): one class template for both goals.
template <class Traits, class Node>
struct GoalClass : ConstraintClass<Traits, Node> {
  static constexpr Parameters<1> parameters{{"item"}};
  static Ref construct(const BoundArguments<1>& arguments);
  static PyGetSetDef properties[];
};

struct MaximizeClass : GoalClass<MaximizeClass, core::MaximizeNode> {
  static constexpr const char* name = "Maximize";
};

struct MinimizeClass : GoalClass<MinimizeClass, core::MinimizeNode> {
  static constexpr const char* name = "Minimize";
};

// Both goals are instantiated once, in classes.cpp.
extern template struct GoalClass<MaximizeClass, core::MaximizeNode>;
extern template struct GoalClass<MinimizeClass, core::MinimizeNode>;

struct NumOfClass : ConstraintClass<NumOfClass, core::NumOfNode> {
  static constexpr const char* name = "NumOf";
  static constexpr Parameters<1> parameters{{"of"}};
  static Ref construct(const BoundArguments<1>& arguments);
  static PyGetSetDef properties[];
};

// No constructor: made only from constraints (the constants of comparisons).
struct ValueClass : ConstraintClass<ValueClass, core::ValueNode> {
  static constexpr const char* name = "Value";
  static PyGetSetDef properties[];
};

}  // namespace norbe
