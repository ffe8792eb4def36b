// IfThen: an implication, bound to the thread that created the object.
#pragma once

#include <cstdint>

#include "core/constraint.hpp"
#include "package/constraint/comparison.hpp"
#include "process/threads.hpp"
#include "runtime/classes.hpp"

namespace norbe {

struct ThreadBinding {
  std::uint64_t owner;
};

struct IfThenClass : ConstraintClass<IfThenClass, core::IfThenNode, ThreadBinding> {
  static constexpr const char* name = "IfThen";
  static constexpr Parameters<2> parameters{{"cond", "then"}};
  static Ref construct(const BoundArguments<2>& arguments);
  static PyGetSetDef properties[];

  static ThreadBinding make_extra() { return ThreadBinding{current_thread_id()}; }
  // Use from any thread but the creator's is an internal failure.
  static void check_access(Object* object);
  // Releases the payload on any thread; a release on another thread than the
  // creator's is reported as well (false, with the RuntimeError set).
  static bool destroy(Object* object);
};

}  // namespace norbe
