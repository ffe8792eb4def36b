#include "package/outline.hpp"

#include <type_traits>

#include "convert/conversions.hpp"
#include "core/platform.hpp"
#include "process/log.hpp"

namespace norbe {
namespace {

constexpr log::CallSite kUnexpectedKeyword{log::Level::Error, "norbe::package::outline",
                                           "src/package/outline", 542};

bool given(PyObject* argument) {
  return argument != nullptr && argument != Py_None;
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

// Appends the entry if its value is a plain option value (plain_option_value)
// or, in set_defaults, None, the value made in its place; false, with nothing
// appended, for any other value.
template <class Map>
NORBE_ALWAYS_INLINE bool append_plain_value(Map& map, std::size_t hash, std::string_view name,
                                            PyObject* value) {
  using Value = typename Map::Value;
  if constexpr (!std::is_same_v<Value, core::SpecOptionValue>) {
    if (value == Py_None) {
      map.append_distinct(hash, name, [] { return Value(); });
      return true;
    }
  }
  return plain_option_value(value, [&](auto kind, auto&&... args) {
    map.append_distinct(hash, name, [&] { return value_in_place<Value, decltype(kind)::value>(args...); });
  });
}

// Fills the map from a dict, walked with PyDict_Next while user code run by
// the value conversions may change it: a change of size, or more entries
// than it had, is an internal failure. Each step runs in the dict's critical
// section: without an interpreter lock another thread may change the dict
// between two steps (and is refused like the conversions' own changes),
// never within one. An exact str key with a value of a plain type is stored
// within the step, holding nothing; any other entry's key and value are held
// and the value converted after the step (its conversion may run user code).
template <class Map, class ConvertValue>
bool fill_from_dict(PyObject* dict, Map& map, ConvertValue&& convert_value) {
  if (!PyDict_Check(dict)) {
    raise_type_mismatch(dict, "dict");
    return false;
  }
  const Py_ssize_t initial = PyDict_GET_SIZE(dict);
  map.reserve(static_cast<std::size_t>(initial));
  Py_ssize_t remaining = initial;
  Py_ssize_t position = 0;
  for (;;) {
    Ref held_key;
    Ref held_value;
    std::string_view name;
    Py_hash_t hash = -1;
    bool exact_key = false;
    {
      CriticalSection section(dict);
      if (PyDict_GET_SIZE(dict) != initial) panic("dictionary changed size during iteration");
      if (remaining == -1) panic("dictionary keys changed during iteration");
      PyObject* key = nullptr;
      PyObject* value = nullptr;
      if (!PyDict_Next(dict, &position, &key, &value)) return true;
      --remaining;
      auto text = utf8_view(key);
      if (!text) return false;
      name = *text;
      hash = text_hash(key);
      if (hash == -1) return false;
      // The exact str keys of a dict are distinct texts; a subclass's may not be.
      exact_key = PyUnicode_CheckExact(key);
      if (exact_key && map.appends_distinct() &&
          append_plain_value(map, static_cast<std::size_t>(hash), name, value)) {
        continue;
      }
      held_key = Ref::borrow(key);
      held_value = Ref::borrow(value);
    }
    auto converted = convert_value(held_value.get());
    if (!converted) return false;
    map.insert_or_assign(static_cast<std::size_t>(hash), name, std::move(*converted), !exact_key);
  }
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
  // The constraints and the maps are filled in place.
  if (given(arguments[1]) && !argument(arguments, 1, [&](PyObject* list) {
        return fill_constraint_list(list, outline.constraints);
      })) {
    return Ref();
  }
  if (given(arguments[2]) && !argument(arguments, 2, [&](PyObject* dict) {
        return fill_from_dict(dict, outline.set_options, option_value_from_object);
      })) {
    return Ref();
  }
  if (given(arguments[3]) && !argument(arguments, 3, [&](PyObject* dict) {
        return fill_from_dict(dict, outline.set_defaults, optional_option_value);
      })) {
    return Ref();
  }
  if (arguments.extra) return refuse_extra_keyword(arguments.extra.get());
  return create(std::move(outline));
}

}  // namespace norbe
