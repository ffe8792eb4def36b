#include "package/version.hpp"

#include <variant>

namespace norbe {
namespace {

PyObject* version_repr(PyObject* self) noexcept {
  return barrier<PyObject*>(nullptr, [&] {
    return string_to_object(core::debug_text(VersionClass::cast(self)->payload)).release();
  });
}

PyObject* version_str(PyObject* self) noexcept {
  return barrier<PyObject*>(
      nullptr, [&] { return string_to_object(VersionClass::cast(self)->payload.text()).release(); });
}

core::Version parse_or_raise(std::string_view text) {
  auto parsed = core::parse_version(text);
  if (auto* error = std::get_if<core::VersionError>(&parsed)) {
    raise(PyExc_ValueError, core::version_error_message(*error));
  }
  return std::get<core::Version>(std::move(parsed));
}

}  // namespace

ClassSpec VersionClass::spec() {
  return ClassSpec{
      .name = "Version",
      .doc =
          "Version(ver)\n--\n\nA generic version.\n\nSee the documentation for this module for more "
          "information.",
      .basicsize = sizeof(Object),
      .dealloc = dealloc,
      .construct = tp_new,
      .vectorcall = vectorcall,
      .repr = version_repr,
      .str = version_str,
  };
}

Ref VersionClass::construct(const BoundArguments<1>& arguments) {
  std::string_view text = convert_argument("ver", [&] { return utf8_view(arguments[0]); });
  return create(parse_or_raise(text));
}

core::Version version_from_object(PyObject* object) {
  if (!VersionClass::is_instance(object)) raise_type_mismatch(object, "Version");
  return VersionClass::cast(object)->payload;
}

Ref version_to_object(core::Version version) {
  return VersionClass::create(std::move(version));
}

}  // namespace norbe
