// IfThen: an implication, bound to the thread that created the object.
#pragma once

#include <array>
#include <cstdint>

#include "core/constraint.hpp"
#include "runtime/classes.hpp"
#include "runtime/threads.hpp"

namespace norbe {

struct ThreadBinding {
  std::uint64_t owner;
};

struct IfThenClass : ClassBase<IfThenClass, core::IfThenNode, ThreadBinding> {
  static constexpr std::array<const char*, 2> parameters{"cond", "then"};
  static constexpr Signature signature{"IfThen.__new__()", parameters, 2, false};
  static ClassSpec spec();
  static Ref construct(const BoundArguments<2>& arguments);
  static core::Constraint to_constraint(const Payload& payload) {
    return core::Constraint::emplace<core::IfThenNode>(payload);
  }
  static ThreadBinding make_extra() { return ThreadBinding{current_thread_id()}; }
  // Use from any thread but the creator's is an internal failure.
  static void check_access(Object* object);
  // On another thread the payload is not released here (see if_then.cpp).
  static void destroy(Object* object);
};

}  // namespace norbe
