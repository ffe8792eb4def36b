#include "package/constraint/if_then.hpp"

#include "package/constraint/mod.hpp"

namespace norbe {
namespace {

constexpr const char* kTypePath = "norbe::package::constraint::if_then::IfThen";

template <auto Member>
Ref read_field(const core::IfThenNode& node) {
  return constraint_to_object(node.*Member);
}

PyGetSetDef g_properties[] = {
    property<IfThenClass, read_field<&core::IfThenNode::cond>, constraint_from_object,
             write_field<&core::IfThenNode::cond>>("cond"),
    property<IfThenClass, read_field<&core::IfThenNode::then>, constraint_from_object,
             write_field<&core::IfThenNode::then>>("then"),
    {},
};

}  // namespace

ClassSpec IfThenClass::spec() {
  return ClassSpec{
      .name = "IfThen",
      .doc = "IfThen(cond, then)\n--\n\n",
      .basicsize = sizeof(Object),
      .dealloc = dealloc,
      .construct = tp_new,
      .vectorcall = vectorcall,
      .richcompare = richcompare<IfThenClass>,
      .properties = g_properties,
  };
}

Ref IfThenClass::construct(const BoundArguments<2>& arguments) {
  core::Constraint cond = convert_argument("cond", [&] { return constraint_from_object(arguments[0]); });
  core::Constraint then = convert_argument("then", [&] { return constraint_from_object(arguments[1]); });
  return create(core::IfThenNode{std::move(cond), std::move(then)});
}

void IfThenClass::check_access(Object* object) {
  const std::uint64_t current = current_thread_id();
  if (current == object->extra.owner) return;
  panic(std::string("assertion `left == right` failed: ") + kTypePath +
        " is unsendable, but sent to another thread\n  left: " + thread_id_text(current) +
        "\n right: " + thread_id_text(object->extra.owner));
}

void IfThenClass::destroy(Object* object) {
  const bool foreign = current_thread_id() != object->extra.owner;
  // The payload is plain data owned by this object alone, so it is released
  // on any thread; a release on a foreign thread is still reported.
  object->payload.~Payload();
  if (foreign) {
    raise(PyExc_RuntimeError,
          std::string(kTypePath) + " is unsendable, but is being dropped on another thread");
  }
}

}  // namespace norbe
