// Cmp, CmpType, Depends, Maximize, Minimize, NumOf and Value.
#pragma once

#include <array>

#include "core/constraint.hpp"
#include "runtime/classes.hpp"

namespace norbe {

struct CmpClass : ClassBase<CmpClass, core::CmpNode> {
  static constexpr std::array<const char*, 3> parameters{"lhs", "rhs", "op"};
  static constexpr Signature signature{"Cmp.__new__()", parameters, 3, false};
  static ClassSpec spec();
  static Ref construct(const BoundArguments<3>& arguments);
  static core::Constraint to_constraint(const Payload& payload) {
    return core::Constraint::emplace<core::CmpNode>(payload);
  }
};

struct CmpTypeClass : ClassBase<CmpTypeClass, core::CmpType> {
  static ClassSpec spec();
  static PyTypeObject* type();  // also creates the six members
  // The member object of that value (a new reference).
  static Ref member(core::CmpType value);
};

struct DependsClass : ClassBase<DependsClass, core::DependsNode> {
  static constexpr std::array<const char*, 1> parameters{"name"};
  static constexpr Signature signature{"Depends.__new__()", parameters, 1, false};
  static ClassSpec spec();
  static Ref construct(const BoundArguments<1>& arguments);
  static core::Constraint to_constraint(const Payload& payload) {
    return core::Constraint::emplace<core::DependsNode>(payload);
  }
};

struct MaximizeClass : ClassBase<MaximizeClass, core::MaximizeNode> {
  static constexpr std::array<const char*, 1> parameters{"item"};
  static constexpr Signature signature{"Maximize.__new__()", parameters, 1, false};
  static ClassSpec spec();
  static Ref construct(const BoundArguments<1>& arguments);
  static core::Constraint to_constraint(const Payload& payload) {
    return core::Constraint::emplace<core::MaximizeNode>(payload);
  }
};

struct MinimizeClass : ClassBase<MinimizeClass, core::MinimizeNode> {
  static constexpr std::array<const char*, 1> parameters{"item"};
  static constexpr Signature signature{"Minimize.__new__()", parameters, 1, false};
  static ClassSpec spec();
  static Ref construct(const BoundArguments<1>& arguments);
  static core::Constraint to_constraint(const Payload& payload) {
    return core::Constraint::emplace<core::MinimizeNode>(payload);
  }
};

struct NumOfClass : ClassBase<NumOfClass, core::NumOfNode> {
  static constexpr std::array<const char*, 1> parameters{"of"};
  static constexpr Signature signature{"NumOf.__new__()", parameters, 1, false};
  static ClassSpec spec();
  static Ref construct(const BoundArguments<1>& arguments);
  static core::Constraint to_constraint(const Payload& payload) {
    return core::Constraint::emplace<core::NumOfNode>(payload);
  }
};

struct ValueClass : ClassBase<ValueClass, core::ValueNode> {
  static ClassSpec spec();
  static core::Constraint to_constraint(const Payload& payload) {
    return core::Constraint::emplace<core::ValueNode>(payload);
  }
};

}  // namespace norbe
