// The registry's functions, one per class of the lists in module_classes.hpp.
#include "convert/registry.hpp"

#include "module_classes.hpp"

namespace norbe::registry {
namespace {

template <class Class>
core::Constraint share_of(PyObject* object) {
  auto* instance = Class::cast(object);
  Class::check_access(instance);
  CriticalSection section(object);
  SharedBorrow borrow(instance->borrow);
  if (!borrow) {
    borrow.refuse();
    return {};
  }
  return instance->payload.share();
}

template <class Class>
Ref make_object(const core::Constraint& constraint) {
  return Class::create(Class::Payload::of(constraint));
}

template <class... Classes>
constexpr std::array<ShareConstraint, constraint_kind_count> share_table(ClassList<Classes...>) {
  return {&share_of<Classes>...};
}

template <class... Classes>
constexpr std::array<MakeConstraintObject, constraint_kind_count> make_table(ClassList<Classes...>) {
  return {&make_object<Classes>...};
}

Ref make_version(core::Version&& version) {
  return VersionClass::create(std::move(version));
}

}  // namespace

constexpr std::array<ShareConstraint, constraint_kind_count> share_constraint =
    share_table(ConstraintClasses{});
constexpr std::array<MakeConstraintObject, constraint_kind_count> make_constraint_object =
    make_table(ConstraintClasses{});
constexpr MakeVersionObject make_version_object = &make_version;

}  // namespace norbe::registry
