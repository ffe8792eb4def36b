#include "package/constraint/if_then.hpp"

namespace norbe {
namespace {

constexpr const char* kTypePath = "norbe::package::constraint::if_then::IfThen";

template <auto Member>
Ref read_field(const core::IfThenNode& node) {
  return constraint_to_object(node.*Member);
}

}  // namespace

PyGetSetDef IfThenClass::properties[] = {
    property<IfThenClass, read_field<&core::IfThenNode::cond>, constraint_from_object,
             write_field<&core::IfThenNode::cond>>("cond"),
    property<IfThenClass, read_field<&core::IfThenNode::then>, constraint_from_object,
             write_field<&core::IfThenNode::then>>("then"),
    {},
};

Ref IfThenClass::construct(const BoundArguments<2>& arguments) {
  auto cond = argument(arguments, 0, constraint_from_object);
  if (!cond) return Ref();
  auto then = argument(arguments, 1, constraint_from_object);
  if (!then) return Ref();
  return create(core::IfThenNode{.cond = std::move(*cond), .then = std::move(*then)});
}

void IfThenClass::check_access(Object* object) {
  const std::uint64_t current = current_thread_id();
  if (current == object->extra.owner) return;
  panic(std::string("assertion `left == right` failed: ") + kTypePath +
        " is unsendable, but sent to another thread\n  left: " + thread_id_text(current) +
        "\n right: " + thread_id_text(object->extra.owner));
}

bool IfThenClass::destroy(Object* object) {
  const bool foreign = current_thread_id() != object->extra.owner;
  // The payload is a share of a node that holds no Python object: dropping
  // it gives up this object's share (the node goes when its last holder
  // does) and is safe on whichever thread drops the object. A drop on a
  // foreign thread is reported all the same.
  object->payload.~Payload();
  if (!foreign) return true;
  raise(PyExc_RuntimeError,
        std::string(kTypePath) + " is unsendable, but is being dropped on another thread");
  return false;
}

}  // namespace norbe
