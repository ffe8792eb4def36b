#include "spec/spec_option.hpp"

namespace norbe {
namespace {

template <auto Member>
Ref read_text(const core::SpecOptionNode& node) {
  return string_to_object(node.*Member);
}

}  // namespace

PyGetSetDef SpecOptionClass::properties[] = {
    property<SpecOptionClass, read_text<&core::SpecOptionNode::package_name>, string_from_object,
             write_field<&core::SpecOptionNode::package_name>>("package_name"),
    property<SpecOptionClass, read_text<&core::SpecOptionNode::option_name>, string_from_object,
             write_field<&core::SpecOptionNode::option_name>>("option_name"),
    {},
};

Ref SpecOptionClass::construct(const BoundArguments<2>& arguments) {
  auto package_name = argument(arguments, 0, utf8_view);
  if (!package_name) return Ref();
  auto option_name = argument(arguments, 1, utf8_view);
  if (!option_name) return Ref();
  return create(core::SpecOptionNode{.package_name = core::InlineString(*package_name),
                                     .option_name = core::InlineString(*option_name)});
}

}  // namespace norbe
