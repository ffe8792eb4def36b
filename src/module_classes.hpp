// The lists of the module's classes: the one list that says which class
// stands for which constraint kind and which submodule holds which class.
// They fill the registry through which the conversions recognise and build
// instances (src/registry.cpp) and drive attaching the classes (the module
// build).
#pragma once

#include <cstddef>
#include <type_traits>

#include "package/constraint/classes.hpp"
#include "package/constraint/if_then.hpp"
#include "package/outline.hpp"
#include "package/version.hpp"
#include "spec/spec_option.hpp"

namespace norbe {

template <class... Classes>
struct ClassList {
  static constexpr std::size_t size = sizeof...(Classes);
};

template <class... A, class... B>
constexpr ClassList<A..., B...> operator+(ClassList<A...>, ClassList<B...>) {
  return {};
}

// The constraint classes, in the order of core::ConstraintKind.
using ConstraintClasses = ClassList<CmpClass, DependsClass, IfThenClass, MaximizeClass, MinimizeClass,
                                    NumOfClass, SpecOptionClass, ValueClass>;

// The classes of each submodule. The module build attaches a submodule's
// classes in the order of their names.
using OutlineModuleClasses = ClassList<PackageOutlineClass>;
using ConstraintModuleClasses = decltype(ConstraintClasses{} + ClassList<CmpTypeClass>{});
using VersionModuleClasses = ClassList<VersionClass>;

namespace detail {
template <class... Classes>
constexpr bool in_kind_order(ClassList<Classes...>) {
  std::size_t i = 0;
  return ((static_cast<std::size_t>(Classes::Payload::kind) == i++) && ...);
}
}  // namespace detail
static_assert(detail::in_kind_order(ConstraintClasses{}), "one class per constraint kind, in kind order");

}  // namespace norbe
