#include "package/outline.hpp"

#include "conversions.hpp"
#include "runtime/log.hpp"

namespace norbe {
namespace {

constexpr log::CallSite kUnexpectedKeyword{log::Level::Error, "norbe::package::outline",
                                           "src/package/outline", 542};

bool given(PyObject* argument) {
  return argument != nullptr && argument != Py_None;
}

// Walks a dict with PyDict_Next while user code run by the value conversions
// may change it: a change of size, or more entries than it had, is an
// internal failure. `visit` returns false when it failed (exception set).
// Each step, with the references it takes, runs in the dict's critical
// section: without an interpreter lock another thread may change the dict
// between two steps (and is refused like the conversions' own changes), never
// within one.
template <class Visit>
bool for_each_entry(PyObject* dict, Visit&& visit) {
  const Py_ssize_t initial = PyDict_GET_SIZE(dict);
  Py_ssize_t remaining = initial;
  Py_ssize_t position = 0;
  for (;;) {
    Ref held_key;
    Ref held_value;
    {
      CriticalSection section(dict);
      if (PyDict_GET_SIZE(dict) != initial) panic("dictionary changed size during iteration");
      if (remaining == -1) panic("dictionary keys changed during iteration");
      PyObject* key = nullptr;
      PyObject* value = nullptr;
      if (!PyDict_Next(dict, &position, &key, &value)) return true;
      held_key = Ref::borrow(key);
      held_value = Ref::borrow(value);
    }
    --remaining;
    if (!visit(held_key.get(), held_value.get())) return false;
  }
}

// The str's own hash of its text, never a subclass's __hash__: equal texts
// give equal hashes. With an interpreter lock the hash cached in the object
// is read in place (a key its dict hashed with str's own hash has it); without
// one, other threads may be writing that field, so str's slot reads it.
Py_hash_t text_hash(PyObject* key) {
#ifdef Py_GIL_DISABLED
  return PyUnicode_Type.tp_hash(key);
#else
  const Py_hash_t cached = reinterpret_cast<PyASCIIObject*>(key)->hash;
  return cached != -1 ? cached : PyUnicode_Type.tp_hash(key);
#endif
}

template <class Map, class ConvertValue>
std::optional<Map> map_from_dict(PyObject* dict, ConvertValue&& convert_value) {
  if (!PyDict_Check(dict)) return raise_type_mismatch(dict, "dict");
  std::optional<Map> map(std::in_place);
  map->reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
  const bool filled = for_each_entry(dict, [&](PyObject* key, PyObject* value) {
    auto name = utf8_view(key);
    if (!name) return false;
    const Py_hash_t hash = text_hash(key);
    if (hash == -1) return false;
    auto converted = convert_value(value);
    if (!converted) return false;
    // The exact str keys of a dict are distinct texts; a subclass's may not be.
    map->insert_or_assign(static_cast<std::size_t>(hash), *name, std::move(*converted),
                          !PyUnicode_CheckExact(key));
    return true;
  });
  if (!filled) return std::nullopt;
  return map;
}

// A set_defaults value: None is an entry without a value.
std::optional<core::OptionalSpecOptionValue> optional_option_value(PyObject* value) {
  if (value == Py_None) return std::optional<core::OptionalSpecOptionValue>(std::in_place);
  auto converted = option_value_from_object(value);
  if (!converted) return std::nullopt;
  return std::optional<core::OptionalSpecOptionValue>(std::in_place, std::move(*converted));
}

// The ValueError of the first extra keyword. The name is put into the
// message as the str it is; the log line writes the code points that UTF-8
// cannot hold (lone surrogates) as \ud800 escapes.
Failed refuse_extra_keyword(PyObject* extra) {
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  PyDict_Next(extra, &position, &key, &value);
  Ref message = Ref::steal(PyUnicode_FromFormat("PyPackageOutline unexpected keyword argument '%S'", key));
  if (!message) return {};
  if (log::enabled(kUnexpectedKeyword)) {
    Ref bytes = Ref::steal(PyUnicode_AsEncodedString(message.get(), "utf-8", "backslashreplace"));
    if (!bytes) return {};
    log::write_event(kUnexpectedKeyword,
                     std::string_view(PyBytes_AS_STRING(bytes.get()),
                                      static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))));
  }
  PyErr_SetObject(PyExc_ValueError, message.get());
  return {};
}

}  // namespace

Ref PackageOutlineClass::construct(const BoundArguments<4>& arguments) {
  Outline outline;
  auto name = argument(arguments, 0, utf8_view);
  if (!name) return Ref();
  outline.name = *name;
  if (given(arguments[1])) {
    auto constraints = argument(arguments, 1, constraint_list_from_object);
    if (!constraints) return Ref();
    outline.constraints = std::move(*constraints);
  }
  if (given(arguments[2])) {
    auto set_options = argument(arguments, 2, [](PyObject* dict) {
      return map_from_dict<core::OptionMap<core::SpecOptionValue>>(dict, option_value_from_object);
    });
    if (!set_options) return Ref();
    outline.set_options = std::move(*set_options);
  }
  if (given(arguments[3])) {
    auto set_defaults = argument(arguments, 3, [](PyObject* dict) {
      return map_from_dict<core::OptionMap<core::OptionalSpecOptionValue>>(dict, optional_option_value);
    });
    if (!set_defaults) return Ref();
    outline.set_defaults = std::move(*set_defaults);
  }
  if (arguments.extra) return refuse_extra_keyword(arguments.extra.get());
  return create(std::move(outline));
}

}  // namespace norbe
