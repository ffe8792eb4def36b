// The Version class.
#pragma once

#include <array>

#include "core/version.hpp"
#include "runtime/classes.hpp"

namespace norbe {

struct VersionClass : ClassBase<VersionClass, core::Version> {
  static constexpr std::array<const char*, 1> parameters{"ver"};
  static constexpr Signature signature{"Version.__new__()", parameters, 1, false};
  static ClassSpec spec();
  static Ref construct(const BoundArguments<1>& arguments);
};

// A deep copy of a Version object's value; other objects are a type mismatch.
core::Version version_from_object(PyObject* object);
Ref version_to_object(core::Version version);

}  // namespace norbe
