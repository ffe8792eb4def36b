// The Version class.
#pragma once

#include "core/version.hpp"
#include "runtime/classes.hpp"

namespace norbe {

struct VersionClass : ClassBase<VersionClass, core::Version> {
  static constexpr const char* name = "Version";
  static constexpr Parameters<1> parameters{{"ver"}};
  static constexpr const char* doc_body =
      "A generic version.\n\nSee the documentation for this module for more information.";
  static Ref construct(const BoundArguments<1>& arguments);
  static PyObject* repr(PyObject* self) noexcept;
  static PyObject* str(PyObject* self) noexcept;
};

}  // namespace norbe
