#include "package/constraint/mod.hpp"

#include "package/constraint/classes.hpp"
#include "package/constraint/if_then.hpp"
#include "runtime/log.hpp"
#include "spec/spec_option.hpp"

namespace norbe {
namespace {

constexpr log::CallSite kConversionFailure{log::Level::Error, "norbe::package::constraint",
                                           "src/package/constraint/mod", 324};

// Copies the payload of an instance of one of the module's classes.
template <class Traits>
core::Constraint copy_of(PyObject* object) {
  auto* instance = Traits::cast(object);
  Traits::check_access(instance);
  SharedBorrow borrow(instance->borrow);
  return Traits::to_constraint(instance->payload);
}

// The module's own classes, recognised by type pointer.
std::optional<core::Constraint> from_own_class(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  if (type == CmpClass::type_object) return copy_of<CmpClass>(object);
  if (type == DependsClass::type_object) return copy_of<DependsClass>(object);
  if (type == IfThenClass::type_object) return copy_of<IfThenClass>(object);
  if (type == MaximizeClass::type_object) return copy_of<MaximizeClass>(object);
  if (type == MinimizeClass::type_object) return copy_of<MinimizeClass>(object);
  if (type == NumOfClass::type_object) return copy_of<NumOfClass>(object);
  if (type == SpecOptionClass::type_object) return copy_of<SpecOptionClass>(object);
  if (type == ValueClass::type_object) return copy_of<ValueClass>(object);
  return std::nullopt;
}

std::optional<core::Constraint> try_convert(PyObject* object) {
  // The plain constants first: their types are disjoint from the module's
  // classes, so the order of the two tests does not change any outcome.
  const PyTypeObject* type = Py_TYPE(object);
  if (type == &PyLong_Type || type == &PyBool_Type || type == &PyUnicode_Type || type == &PyFloat_Type) {
    if (auto value = try_option_value(object))
      return core::Constraint::emplace<core::ValueNode>(std::move(*value));
    return std::nullopt;
  }
  if (auto own = from_own_class(object)) return own;
  if (auto value = try_option_value(object))
    return core::Constraint::emplace<core::ValueNode>(std::move(*value));
  return std::nullopt;
}

std::string conversion_failure_message(PyObject* object) {
  return "cannot convert '" + type_text(object) + "' to Constraint";
}

}  // namespace

core::Constraint constraint_from_object(PyObject* object) {
  if (auto converted = try_convert(object)) return std::move(*converted);
  std::string message = conversion_failure_message(object);
  log::emit(kConversionFailure, message);
  raise(PyExc_TypeError, message);
}

std::optional<core::Constraint> try_constraint_from_object(PyObject* object) {
  if (auto converted = try_convert(object)) return converted;
  if (log::enabled(kConversionFailure))
    log::write_event(kConversionFailure, conversion_failure_message(object));
  return std::nullopt;
}

std::vector<core::Constraint> constraint_list_from_object(PyObject* object) {
  if (PyUnicode_Check(object)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(object)) raise_type_mismatch(object, "Sequence");
  std::vector<core::Constraint> constraints;
  Py_ssize_t length = PySequence_Size(object);
  if (length < 0) {
    discard_pending_exception();
  } else {
    // The length only sizes the result. A __len__ may answer anything up to
    // sys.maxsize, so beyond a bound the list grows as the items arrive.
    constexpr Py_ssize_t kMaxReserved = Py_ssize_t{1} << 20;
    constraints.reserve(static_cast<std::size_t>(length < kMaxReserved ? length : kMaxReserved));
  }
  Ref iterator = check_new(PyObject_GetIter(object));
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    constraints.push_back(constraint_from_object(item.get()));
  }
  if (PyErr_Occurred()) throw_python_error();
  return constraints;
}

Ref constraint_to_object(const core::Constraint& constraint) {
  using Kind = core::ConstraintKind;
  switch (constraint.kind()) {
    case Kind::Cmp:
      return CmpClass::create(core::CmpNode(constraint.as<core::CmpNode>()));
    case Kind::Depends:
      return DependsClass::create(core::DependsNode(constraint.as<core::DependsNode>()));
    case Kind::IfThen:
      return IfThenClass::create(core::IfThenNode(constraint.as<core::IfThenNode>()));
    case Kind::Maximize:
      return MaximizeClass::create(core::MaximizeNode(constraint.as<core::MaximizeNode>()));
    case Kind::Minimize:
      return MinimizeClass::create(core::MinimizeNode(constraint.as<core::MinimizeNode>()));
    case Kind::NumOf:
      return NumOfClass::create(core::NumOfNode(constraint.as<core::NumOfNode>()));
    case Kind::SpecOption:
      return SpecOptionClass::create(core::SpecOptionNode(constraint.as<core::SpecOptionNode>()));
    case Kind::Value:
      return ValueClass::create(core::ValueNode(constraint.as<core::ValueNode>()));
  }
  panic("constraint of unknown kind");
}

Ref constraint_list_to_object(const std::vector<core::Constraint>& constraints) {
  Ref list = check_new(PyList_New(static_cast<Py_ssize_t>(constraints.size())));
  for (std::size_t i = 0; i < constraints.size(); ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), constraint_to_object(constraints[i]).release());
  }
  return list;
}

Ref build_cmp(core::Constraint lhs, core::Constraint rhs, core::CmpType op) {
  if (auto refusal = core::check_comparison(lhs, rhs, op)) {
    Ref text =
        check_new(PyUnicode_FromStringAndSize(refusal->data(), static_cast<Py_ssize_t>(refusal->size())));
    PyErr_SetObject(PyExc_NotImplementedError, text.get());
    return Ref();
  }
  return CmpClass::create(core::CmpNode{std::move(lhs), std::move(rhs), op});
}

}  // namespace norbe
