#include "package/constraint/classes.hpp"

#include "package/constraint/if_then.hpp"
#include "package/constraint/mod.hpp"
#include "spec/spec_option.hpp"

namespace norbe {
namespace {

// Field accessors shared by the property tables below.
template <auto Member>
Ref read_constraint_field(const typename MemberOf<decltype(Member)>::Class& payload) {
  return constraint_to_object(payload.*Member);
}

core::CmpType cmp_type_from_object(PyObject* object) {
  if (!CmpTypeClass::is_instance(object)) raise_type_mismatch(object, "CmpType");
  return CmpTypeClass::cast(object)->payload;
}

Ref read_op(const core::CmpNode& node) {
  return CmpTypeClass::create(core::CmpType(node.op));
}
Ref read_on(const core::DependsNode& node) {
  return string_to_object(node.on);
}
Ref read_of(const core::NumOfNode& node) {
  return constraint_list_to_object(node.of);
}
Ref read_value(const core::ValueNode& node) {
  return option_value_to_object(node.value);
}

// Cmp

PyGetSetDef g_cmp_properties[] = {
    property<CmpClass, read_constraint_field<&core::CmpNode::lhs>, constraint_from_object,
             write_field<&core::CmpNode::lhs>>("lhs"),
    property<CmpClass, read_constraint_field<&core::CmpNode::rhs>, constraint_from_object,
             write_field<&core::CmpNode::rhs>>("rhs"),
    property<CmpClass, read_op, cmp_type_from_object, write_field<&core::CmpNode::op>>("op"),
    {},
};

constexpr std::array<const char*, 1> kIfThenParameters{"then"};
constexpr Signature kIfThenSignature{"Cmp.if_then()", kIfThenParameters, 1, false};

PyObject* cmp_if_then(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return barrier<PyObject*>(nullptr, [&] {
    auto bound = bind<1>(kIfThenSignature, args, static_cast<std::size_t>(nargs), kwnames);
    core::Constraint then = convert_argument("then", [&] { return constraint_from_object(bound[0]); });
    auto* object = CmpClass::cast(self);
    SharedBorrow borrow(object->borrow);
    return IfThenClass::create(core::IfThenNode{CmpClass::to_constraint(object->payload), std::move(then)})
        .release();
  });
}

PyMethodDef g_cmp_methods[] = {
    {"if_then", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cmp_if_then)),
     METH_FASTCALL | METH_KEYWORDS,
     "if_then($self, then)\n--\n\nWrap this condition in an IfThen constraint.\n\n"
     "cond.if_then(then) => If ( cond ) Then ( then )"},
    {},
};

// CmpType

PyObject* cmp_type_repr(PyObject* self) noexcept {
  return barrier<PyObject*>(nullptr, [&] {
    std::string text = "CmpType.";
    text += core::cmp_type_name(CmpTypeClass::cast(self)->payload);
    return string_to_object(text).release();
  });
}

PyObject* cmp_type_int(PyObject* self) noexcept {
  return PyLong_FromLong(static_cast<long>(CmpTypeClass::cast(self)->payload));
}

// Depends, Maximize, Minimize, NumOf, Value

PyGetSetDef g_depends_properties[] = {
    property<DependsClass, read_on, string_from_object, write_field<&core::DependsNode::on>>("on"),
    {},
};
PyGetSetDef g_maximize_properties[] = {
    property<MaximizeClass, read_constraint_field<&core::MaximizeNode::item>, constraint_from_object,
             write_field<&core::MaximizeNode::item>>("item"),
    {},
};
PyGetSetDef g_minimize_properties[] = {
    property<MinimizeClass, read_constraint_field<&core::MinimizeNode::item>, constraint_from_object,
             write_field<&core::MinimizeNode::item>>("item"),
    {},
};
PyGetSetDef g_num_of_properties[] = {
    property<NumOfClass, read_of, constraint_list_from_object, write_field<&core::NumOfNode::of>>("of"),
    {},
};
PyGetSetDef g_value_properties[] = {
    property<ValueClass, read_value, option_value_from_object, write_field<&core::ValueNode::value>>("value"),
    {},
};

// The ClassSpec of a constructible constraint class: all of them share their slots.
template <class Traits>
ClassSpec constraint_class(const char* name, const char* doc, PyGetSetDef* properties) {
  return ClassSpec{
      .name = name,
      .doc = doc,
      .basicsize = sizeof(typename Traits::Object),
      .dealloc = Traits::dealloc,
      .construct = Traits::tp_new,
      .vectorcall = Traits::vectorcall,
      .richcompare = richcompare<Traits>,
      .properties = properties,
  };
}

template <class Traits>
core::Constraint constraint_argument(const BoundArguments<Traits::parameters.size()>& arguments,
                                     std::size_t i) {
  return convert_argument(Traits::parameters[i], [&] { return constraint_from_object(arguments[i]); });
}

}  // namespace

ClassSpec CmpClass::spec() {
  ClassSpec spec = constraint_class<CmpClass>("Cmp", "Cmp(lhs, rhs, op)\n--\n\n", g_cmp_properties);
  spec.methods = g_cmp_methods;
  return spec;
}

Ref CmpClass::construct(const BoundArguments<3>& arguments) {
  core::Constraint lhs = constraint_argument<CmpClass>(arguments, 0);
  core::Constraint rhs = constraint_argument<CmpClass>(arguments, 1);
  core::CmpType op = convert_argument("op", [&] { return cmp_type_from_object(arguments[2]); });
  return create(core::CmpNode{std::move(lhs), std::move(rhs), op});
}

ClassSpec CmpTypeClass::spec() {
  return ClassSpec{
      .name = "CmpType",
      .basicsize = sizeof(Object),
      .dealloc = dealloc,
      .repr = cmp_type_repr,
      .as_int = cmp_type_int,
  };
}

PyTypeObject* CmpTypeClass::type() {
  if (type_object != nullptr) return type_object;
  PyTypeObject* created = make_type(spec());
  type_object = created;
  for (int value = 0; value < core::cmp_type_count; ++value) {
    const auto member = static_cast<core::CmpType>(value);
    Ref object = create(core::CmpType(member));
    const std::string name(core::cmp_type_name(member));
    check_status(PyObject_SetAttrString(reinterpret_cast<PyObject*>(created), name.c_str(), object.get()));
  }
  return created;
}

ClassSpec DependsClass::spec() {
  return constraint_class<DependsClass>("Depends", "Depends(name)\n--\n\n", g_depends_properties);
}

Ref DependsClass::construct(const BoundArguments<1>& arguments) {
  return create(
      core::DependsNode{convert_argument("name", [&] { return string_from_object(arguments[0]); })});
}

ClassSpec MaximizeClass::spec() {
  return constraint_class<MaximizeClass>("Maximize", "Maximize(item)\n--\n\n", g_maximize_properties);
}

Ref MaximizeClass::construct(const BoundArguments<1>& arguments) {
  return create(core::MaximizeNode{constraint_argument<MaximizeClass>(arguments, 0)});
}

ClassSpec MinimizeClass::spec() {
  return constraint_class<MinimizeClass>("Minimize", "Minimize(item)\n--\n\n", g_minimize_properties);
}

Ref MinimizeClass::construct(const BoundArguments<1>& arguments) {
  return create(core::MinimizeNode{constraint_argument<MinimizeClass>(arguments, 0)});
}

ClassSpec NumOfClass::spec() {
  return constraint_class<NumOfClass>("NumOf", "NumOf(of)\n--\n\n", g_num_of_properties);
}

Ref NumOfClass::construct(const BoundArguments<1>& arguments) {
  return create(
      core::NumOfNode{convert_argument("of", [&] { return constraint_list_from_object(arguments[0]); })});
}

ClassSpec ValueClass::spec() {
  return ClassSpec{
      .name = "Value",
      .basicsize = sizeof(Object),
      .dealloc = dealloc,
      .richcompare = richcompare<ValueClass>,
      .properties = g_value_properties,
  };
}

}  // namespace norbe
