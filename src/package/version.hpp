// The Version class.
#pragma once

#include "convert/registry.hpp"
#include "core/version.hpp"
#include "runtime/classes.hpp"

namespace norbe {

struct VersionClass : ClassBase<VersionClass, core::Version> {
  static constexpr const char* name = "Version";
  static constexpr auto& type_object = registry::version_type;
  static constexpr Parameters<1> parameters{{"ver"}};
  static constexpr const char* doc_body =
      "A generic version.\n\nSee the documentation for this module for more information.";
  static Ref construct(const BoundArguments<1>& arguments);
  static PyObject* repr(PyObject* self) noexcept;
  static PyObject* str(PyObject* self) noexcept;
};
static_assert(std::is_same_v<VersionClass::Object, registry::VersionObject>);

}  // namespace norbe
