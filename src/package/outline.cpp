#include "package/outline.hpp"

#include "package/constraint/mod.hpp"
#include "runtime/log.hpp"
#include "spec/spec_option.hpp"

namespace norbe {
namespace {

constexpr log::CallSite kUnexpectedKeyword{log::Level::Error, "norbe::package::outline",
                                           "src/package/outline", 542};

bool given(PyObject* argument) {
  return argument != nullptr && argument != Py_None;
}

// Walks a dict with PyDict_Next while user code run by the value conversions
// may change it: a change of size, or more entries than it had, is refused.
template <class Visit>
void for_each_entry(PyObject* dict, Visit&& visit) {
  const Py_ssize_t initial = PyDict_GET_SIZE(dict);
  Py_ssize_t remaining = initial;
  Py_ssize_t position = 0;
  for (;;) {
    if (PyDict_GET_SIZE(dict) != initial) panic("dictionary changed size during iteration");
    if (remaining == -1) panic("dictionary keys changed during iteration");
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    if (!PyDict_Next(dict, &position, &key, &value)) return;
    --remaining;
    Ref held_key = Ref::borrow(key);
    Ref held_value = Ref::borrow(value);
    visit(held_key.get(), held_value.get());
  }
}

template <class Map, class ConvertValue>
Map map_from_dict(PyObject* dict, ConvertValue&& convert_value) {
  if (!PyDict_Check(dict)) raise_type_mismatch(dict, "dict");
  Map map;
  map.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
  for_each_entry(dict, [&](PyObject* key, PyObject* value) {
    std::string name = string_from_object(key);
    map.insert_or_assign(std::move(name), convert_value(value));
  });
  return map;
}

core::OptionalSpecOptionValue optional_option_value(PyObject* value) {
  if (value == Py_None) return std::nullopt;
  return option_value_from_object(value);
}

[[noreturn]] void refuse_extra_keyword(PyObject* extra) {
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  PyDict_Next(extra, &position, &key, &value);
  std::string message = "PyPackageOutline unexpected keyword argument '" + str_of(key) + "'";
  log::emit(kUnexpectedKeyword, message);
  raise(PyExc_ValueError, message);
}

}  // namespace

ClassSpec PackageOutlineClass::spec() {
  return ClassSpec{
      .name = "PackageOutline",
      .doc = "PackageOutline(name, constraints=None, set_options=None, set_defaults=None, **kwargs)\n--\n\n",
      .basicsize = sizeof(Object),
      .dealloc = dealloc,
      .construct = tp_new,
      .vectorcall = vectorcall,
  };
}

Ref PackageOutlineClass::construct(const BoundArguments<4>& arguments) {
  Outline outline;
  outline.name = convert_argument("name", [&] { return string_from_object(arguments[0]); });
  if (given(arguments[1])) {
    outline.constraints =
        convert_argument("constraints", [&] { return constraint_list_from_object(arguments[1]); });
  }
  if (given(arguments[2])) {
    outline.set_options = convert_argument("set_options", [&] {
      return map_from_dict<decltype(outline.set_options)>(arguments[2], option_value_from_object);
    });
  }
  if (given(arguments[3])) {
    outline.set_defaults = convert_argument("set_defaults", [&] {
      return map_from_dict<decltype(outline.set_defaults)>(arguments[3], optional_option_value);
    });
  }
  if (arguments.extra) refuse_extra_keyword(arguments.extra.get());
  return create(std::move(outline));
}

}  // namespace norbe
