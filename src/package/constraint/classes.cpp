#include "package/constraint/classes.hpp"

#include "package/constraint/if_then.hpp"

namespace norbe {
namespace {

// Field accessors shared by the property tables below.
template <auto Member>
Ref read_constraint_field(const typename MemberOf<decltype(Member)>::Class& payload) {
  return constraint_to_object(payload.*Member);
}

std::optional<core::CmpType> cmp_type_from_object(PyObject* object) {
  if (!CmpTypeClass::is_instance(object)) return raise_type_mismatch(object, "CmpType");
  return CmpTypeClass::cast(object)->payload;
}

Ref read_op(const core::CmpNode& node) {
  return CmpTypeClass::create(core::CmpType(node.op));
}
Ref read_on(const core::DependsNode& node) {
  return string_to_object(node.on);
}
Ref read_of(const core::NumOfNode& node) {
  return constraint_list_to_object(node.of.view());
}
Ref read_value(const core::ValueNode& node) {
  return option_value_to_object(node.value);
}

// Cmp.if_then(then)

constexpr std::array<const char*, 1> kIfThenParameters{"then"};
constexpr Signature kIfThenSignature{CmpClass::name, "if_then", kIfThenParameters, 1, false};

PyObject* cmp_if_then(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return barrier([&]() -> Ref {
    BoundArguments<1> bound;
    if (!bind(kIfThenSignature, args, static_cast<std::size_t>(nargs), kwnames, bound)) return Ref();
    auto then = convert_argument(kIfThenParameters[0], [&] { return constraint_from_object(bound[0]); });
    if (!then) return Ref();
    auto* object = CmpClass::cast(self);
    CriticalSection section(self);
    SharedBorrow borrow(object->borrow);
    if (!borrow) return borrow.refuse();
    return IfThenClass::create(core::IfThenNode{.cond = object->payload.share(), .then = std::move(*then)});
  });
}

}  // namespace

// Cmp

PyGetSetDef CmpClass::properties[] = {
    property<CmpClass, read_constraint_field<&core::CmpNode::lhs>, constraint_from_object,
             write_field<&core::CmpNode::lhs>>("lhs"),
    property<CmpClass, read_constraint_field<&core::CmpNode::rhs>, constraint_from_object,
             write_field<&core::CmpNode::rhs>>("rhs"),
    property<CmpClass, read_op, cmp_type_from_object, write_field<&core::CmpNode::op>>("op"),
    {},
};

PyMethodDef CmpClass::methods[] = {
    {"if_then", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cmp_if_then)),
     METH_FASTCALL | METH_KEYWORDS,
     "if_then($self, then)\n--\n\nWrap this condition in an IfThen constraint.\n\n"
     "cond.if_then(then) => If ( cond ) Then ( then )"},
    {},
};

Ref CmpClass::construct(const BoundArguments<3>& arguments) {
  auto lhs = argument(arguments, 0, constraint_from_object);
  if (!lhs) return Ref();
  auto rhs = argument(arguments, 1, constraint_from_object);
  if (!rhs) return Ref();
  auto op = argument(arguments, 2, cmp_type_from_object);
  if (!op) return Ref();
  return create(Payload::make(
      [&] { return core::CmpNode{.op = *op, .lhs = std::move(*lhs), .rhs = std::move(*rhs)}; }));
}

// CmpType

PyObject* CmpTypeClass::repr(PyObject* self) noexcept {
  return barrier([&] {
    std::string text = "CmpType.";
    text += core::cmp_type_name(cast(self)->payload);
    return string_to_object(text);
  });
}

PyObject* CmpTypeClass::as_int(PyObject* self) noexcept {
  return PyLong_FromLong(static_cast<long>(cast(self)->payload));
}

bool CmpTypeClass::complete(PyTypeObject* type) {
  for (int value = 0; value < core::cmp_type_count; ++value) {
    const auto member = static_cast<core::CmpType>(value);
    Ref object = create_in(type, core::CmpType(member));
    if (!object) return false;
    const std::string name(core::cmp_type_name(member));
    if (PyObject_SetAttrString(reinterpret_cast<PyObject*>(type), name.c_str(), object.get()) < 0)
      return false;
  }
  return true;
}

// Depends, Maximize and Minimize, NumOf, Value

PyGetSetDef DependsClass::properties[] = {
    property<DependsClass, read_on, string_from_object, write_field<&core::DependsNode::on>>("on"),
    {},
};

Ref DependsClass::construct(const BoundArguments<1>& arguments) {
  auto on = argument(arguments, 0, utf8_view);
  if (!on) return Ref();
  return create(Payload::make([&] { return core::DependsNode{.on = decltype(core::DependsNode::on)(*on)}; }));
}

template <class Traits, class Node>
PyGetSetDef GoalClass<Traits, Node>::properties[] = {
    property<Traits, read_constraint_field<&Node::item>, constraint_from_object, write_field<&Node::item>>(
        "item"),
    {},
};

template <class Traits, class Node>
Ref GoalClass<Traits, Node>::construct(const BoundArguments<1>& arguments) {
  auto item = Traits::argument(arguments, 0, constraint_from_object);
  if (!item) return Ref();
  return Traits::create(typename Traits::Payload::Node{.item = std::move(*item)});
}

template struct GoalClass<MaximizeClass, core::MaximizeNode>;
template struct GoalClass<MinimizeClass, core::MinimizeNode>;

PyGetSetDef NumOfClass::properties[] = {
    property<NumOfClass, read_of, constraint_list_from_object, write_field<&core::NumOfNode::of>>("of"),
    {},
};

Ref NumOfClass::construct(const BoundArguments<1>& arguments) {
  auto of = argument(arguments, 0, constraint_list_from_object);
  if (!of) return Ref();
  return create(core::NumOfNode{.of = std::move(*of)});
}

PyGetSetDef ValueClass::properties[] = {
    property<ValueClass, read_value, option_value_from_object, write_field<&core::ValueNode::value>>("value"),
    {},
};

// The comparison slot's result

Ref build_cmp(core::Constraint lhs, core::Constraint rhs, core::CmpType op) {
  if (auto refusal = core::check_comparison(lhs, rhs, op)) return raise(PyExc_NotImplementedError, *refusal);
  return CmpClass::create(CmpClass::Payload::make(
      [&] { return core::CmpNode{.op = op, .lhs = std::move(lhs), .rhs = std::move(rhs)}; }));
}

}  // namespace norbe
