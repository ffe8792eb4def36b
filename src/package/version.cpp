#include "package/version.hpp"

#include <variant>

namespace norbe {

PyObject* VersionClass::repr(PyObject* self) noexcept {
  return barrier([&] { return string_to_object(core::debug_text(cast(self)->payload)); });
}

PyObject* VersionClass::str(PyObject* self) noexcept {
  return barrier([&] { return string_to_object(cast(self)->payload.text()); });
}

Ref VersionClass::construct(const BoundArguments<1>& arguments) {
  auto text = argument(arguments, 0, utf8_view);
  if (!text) return Ref();
  auto parsed = core::parse_version(*text);
  if (auto* error = std::get_if<core::VersionError>(&parsed))
    return raise(PyExc_ValueError, core::version_error_message(*error));
  return create(std::get<core::Version>(std::move(parsed)));
}

}  // namespace norbe
