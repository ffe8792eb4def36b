#include "convert/conversions.hpp"

#include <atomic>
#include <initializer_list>
#include <string_view>

#include "convert/registry.hpp"
#include "core/platform.hpp"
#include "process/log.hpp"

namespace norbe {
namespace {

// The call sites keep the places where these events were first defined.
constexpr log::CallSite kOptionValueFailure{log::Level::Error, "norbe::spec::spec_option",
                                            "src/spec/spec_option", 237};
constexpr log::CallSite kConstraintFailure{log::Level::Error, "norbe::package::constraint",
                                           "src/package/constraint/mod", 324};

// Option values from Python objects

// numpy is not linked: its boolean scalar type is recognised by its
// __module__ and __name__. The first type found to be one is remembered (set
// once by compare-and-swap and kept for the process); another such type is
// still recognised by its names.
std::atomic<PyTypeObject*> g_numpy_bool_type{nullptr};

bool attribute_equals(PyObject* object, const char* attribute, std::initializer_list<const char*> accepted) {
  Ref value = Ref::steal(PyObject_GetAttrString(object, attribute));
  if (!value) {
    discard_pending_exception();
    return false;
  }
  if (!PyUnicode_Check(value.get())) return false;
  for (const char* text : accepted) {
    if (PyUnicode_CompareWithASCIIString(value.get(), text) == 0) return true;
  }
  return false;
}

bool names_numpy_bool(PyTypeObject* type) {
  // A static type of the plain metaclass has the __module__ and __name__
  // that its tp_name holds around the last dot ("builtins" without one):
  // read them there, without looking anything up.
  if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) && Py_IS_TYPE(type, &PyType_Type)) {
    const std::string_view name = type->tp_name;
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || name.substr(0, dot) != "numpy") return false;
    const std::string_view base = name.substr(dot + 1);
    return base == "bool_" || base == "bool";
  }
  auto* type_object = reinterpret_cast<PyObject*>(type);
  return attribute_equals(type_object, "__module__", {"numpy"}) &&
         attribute_equals(type_object, "__name__", {"bool_", "bool"});
}

bool is_numpy_bool(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  if (type == g_numpy_bool_type.load(std::memory_order_acquire)) return true;
  if (!names_numpy_bool(type)) return false;
  PyTypeObject* expected = nullptr;
  if (g_numpy_bool_type.compare_exchange_strong(expected, type, std::memory_order_acq_rel))
    Py_INCREF(reinterpret_cast<PyObject*>(type));
  return true;
}

std::optional<core::SpecOptionValue> numpy_bool_value(PyObject* object) {
  PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
  if (number == nullptr || number->nb_bool == nullptr) return std::nullopt;
  int truth = number->nb_bool(object);
  if (truth < 0) {
    discard_pending_exception();
    return std::nullopt;
  }
  return core::SpecOptionValue(truth != 0);
}

std::optional<core::SpecOptionValue> exact_int_value(PyObject* object) {
  int overflow = 0;
  long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
  if (overflow == 0) return core::SpecOptionValue(static_cast<std::int64_t>(value));
  double as_double = PyLong_AsDouble(object);
  if (as_double == -1.0 && PyErr_Occurred()) {
    discard_pending_exception();
    return std::nullopt;
  }
  return core::SpecOptionValue(as_double);
}

std::optional<core::SpecOptionValue> text_value(PyObject* object) {
  constexpr auto kStr = std::in_place_index<static_cast<std::size_t>(core::OptionKind::Str)>;
  if (PyUnicode_IS_COMPACT_ASCII(object)) {
    const std::string_view text = compact_ascii_view(object);
    return std::optional<core::SpecOptionValue>(std::in_place, kStr, text.data(), text.size());
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) {
    discard_pending_exception();
    return std::nullopt;
  }
  return std::optional<core::SpecOptionValue>(std::in_place, kStr, data, static_cast<std::size_t>(size));
}

// The general path, for objects of any other type: every step may run user
// code. The integer step fails at once, running nothing, for an object that
// is no int and has no __index__, and the float step for one that has
// neither __float__ nor __index__: such steps are not called at all, so no
// exception is made only to be discarded.
std::optional<core::SpecOptionValue> general_value(PyObject* object) {
  if (is_numpy_bool(object)) {
    if (auto value = numpy_bool_value(object)) return value;
  }
  const PyNumberMethods* number = Py_TYPE(object)->tp_as_number;
  const bool has_index = PyLong_Check(object) || (number != nullptr && number->nb_index != nullptr);
  if (has_index) {
    long long integer = PyLong_AsLongLong(object);
    if (integer != -1 || !PyErr_Occurred()) return core::SpecOptionValue(static_cast<std::int64_t>(integer));
    discard_pending_exception();
  }
  if (has_index || PyFloat_Check(object) || (number != nullptr && number->nb_float != nullptr)) {
    double real = PyFloat_AsDouble(object);
    if (real != -1.0 || !PyErr_Occurred()) return core::SpecOptionValue(real);
    discard_pending_exception();
  }
  if (PyUnicode_Check(object)) {
    if (auto value = text_value(object)) return value;
  }
  PyTypeObject* version_type = registry::version_type.load(std::memory_order_acquire);
  if (version_type != nullptr && PyObject_TypeCheck(object, version_type))
    return core::SpecOptionValue(registry::version_of(object));
  return std::nullopt;
}

// The values plain_option_value does not take: the exact types' other values
// (wider ints, str that is not compact ASCII), then any other type's.
std::optional<core::SpecOptionValue> other_option_value(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  if (type == &PyLong_Type) return exact_int_value(object);
  if (type == &PyUnicode_Type) return text_value(object);
  return general_value(object);
}

// Constraints from Python objects

// The conversions below answer a constraint, or an empty one when they did
// not convert (with the exception set: a failure to report). No optional
// around it: these run once per list entry.

// The position of the object's type among the constraint classes, or -1.
template <std::size_t... Kinds>
NORBE_ALWAYS_INLINE int constraint_class_index(PyTypeObject* type, std::index_sequence<Kinds...>) {
  int index = 0;
  return ((type == registry::constraint_types[Kinds].load(std::memory_order_acquire) || (++index, false)) ||
          ...)
             ? index
             : -1;
}
NORBE_ALWAYS_INLINE int constraint_class_index(PyTypeObject* type) {
  return constraint_class_index(type, std::make_index_sequence<registry::constraint_kind_count>{});
}

// Empty with no exception: not convertible; with one set: a failure to
// report (a borrow conflict).
core::Constraint try_convert(PyObject* object) {
  // The plain constants first: their types are disjoint from the module's
  // classes, so the order of the two tests does not change any outcome.
  const PyTypeObject* type = Py_TYPE(object);
  if (type != &PyLong_Type && type != &PyBool_Type && type != &PyUnicode_Type && type != &PyFloat_Type) {
    const int own = constraint_class_index(Py_TYPE(object));
    if (own >= 0) return registry::share_constraint[static_cast<std::size_t>(own)](object);
  }
  // A plain value is made in its node; the others are converted first.
  core::Constraint made;
  const bool plain = plain_option_value(object, [&](auto kind, auto&&... args) {
    made = core::Constraint::make<core::ValueNode>([&] {
      return core::ValueNode{.value = value_in_place<core::SpecOptionValue, decltype(kind)::value>(
                                 std::forward<decltype(args)>(args)...)};
    });
  });
  if (plain) return made;
  if (auto value = other_option_value(object))
    return core::Constraint::make<core::ValueNode>(
        [&] { return core::ValueNode{.value = std::move(*value)}; });
  return {};
}

std::optional<std::string> constraint_failure_message(PyObject* object) {
  auto type = type_text(object);
  if (!type) return std::nullopt;
  return "cannot convert '" + *type + "' to Constraint";
}

}  // namespace

std::optional<core::SpecOptionValue> try_option_value(PyObject* object) {
  // One named result, returned in place from every path: a variant moved
  // into the caller's result costs a dispatch on some standard libraries.
  std::optional<core::SpecOptionValue> value;
  const bool plain = plain_option_value(object, [&](auto kind, auto&&... args) {
    value.emplace(std::in_place_index<static_cast<std::size_t>(decltype(kind)::value)>,
                  std::forward<decltype(args)>(args)...);
  });
  if (!plain) value = other_option_value(object);
  return value;
}

std::optional<std::string> type_text(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  // str() of a static type of the plain metaclass is "<class '" + tp_name +
  // "'>" (its module and qualified name are the parts of tp_name): written
  // here without asking the interpreter to format it.
  if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) && Py_IS_TYPE(type, &PyType_Type)) {
    std::string text = "<class '";
    text.append(type->tp_name).append("'>");
    return text;
  }
  return str_of(reinterpret_cast<PyObject*>(type));
}

std::optional<core::SpecOptionValue> option_value_from_object(PyObject* object) {
  if (auto value = try_option_value(object)) return value;
  auto type = type_text(object);
  if (!type) return std::nullopt;
  const std::string message = "cannot cast Python type '" + *type + "' to SpecOptionValue";
  log::emit(kOptionValueFailure, message);
  return raise(PyExc_TypeError, message);
}

Ref option_value_to_object(const core::SpecOptionValue& value) {
  switch (core::kind_of(value)) {
    case core::OptionKind::Bool:
      return Ref::borrow(std::get<bool>(value) ? Py_True : Py_False);
    case core::OptionKind::Int:
      return Ref::steal(PyLong_FromLongLong(std::get<std::int64_t>(value)));
    case core::OptionKind::Float:
      return Ref::steal(PyFloat_FromDouble(std::get<double>(value)));
    case core::OptionKind::Str:
      return string_to_object(std::get<core::InlineString>(value));
    case core::OptionKind::Version:
      return registry::make_version_object(core::Version(std::get<core::Version>(value)));
  }
  panic("option value of unknown kind");
}

namespace {

// The failure of an object that no step converts: logged, then TypeError.
// Inlined into both callers, so that a refused argument pays no call.
NORBE_ALWAYS_INLINE Failed refuse_unconvertible(PyObject* object) {
  if (auto message = constraint_failure_message(object)) {
    log::emit(kConstraintFailure, *message);
    raise(PyExc_TypeError, *message);
  }
  return {};
}

#ifndef Py_GIL_DISABLED
// As constraint_from_object, empty when it failed (the exception set): the
// per-entry step of the list path below, where the whole conversion inlines.
// The iterator path keeps constraint_from_object, so that try_convert is
// not inlined there as well.
core::Constraint constraint_or_failure(PyObject* object) {
  core::Constraint converted = try_convert(object);
  if (converted.empty() && !PyErr_Occurred()) refuse_unconvertible(object);
  return converted;
}
#endif

}  // namespace

std::optional<core::Constraint> constraint_from_object(PyObject* object) {
  if (core::Constraint converted = try_convert(object); !converted.empty()) return converted;
  if (PyErr_Occurred()) return std::nullopt;
  return refuse_unconvertible(object);
}

std::optional<core::Constraint> operand_from_object(PyObject* object) {
  if (core::Constraint converted = try_convert(object); !converted.empty()) return converted;
  if (PyErr_Occurred()) {
    discard_pending_exception();
    return std::nullopt;
  }
  if (log::enabled(kConstraintFailure)) {
    if (auto message = constraint_failure_message(object)) {
      log::write_event(kConstraintFailure, *message);
    } else {
      discard_pending_exception();
    }
  }
  return std::nullopt;
}

bool fill_constraint_list(PyObject* object, core::ConstraintList& constraints) {
  if (PyUnicode_Check(object)) {
    raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
#ifndef Py_GIL_DISABLED
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
    // The items by index, as the list and tuple iterators read them: the
    // size is read again before each item (a conversion may run user code
    // that changes the list), and each item is held while it is converted.
    // (Without the interpreter lock the list is read through its iterator,
    // which locks it.)
    // An instance of the module's classes is copied running no user code,
    // so it need not be held.
    constraints.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(object)));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(object); ++i) {
      PyObject* entry = PySequence_Fast_GET_ITEM(object, i);
      const int own = constraint_class_index(Py_TYPE(entry));
      core::Constraint constraint = own >= 0
                                        ? registry::share_constraint[static_cast<std::size_t>(own)](entry)
                                        : constraint_or_failure(Ref::borrow(entry).get());
      if (constraint.empty()) return false;
      constraints.push_back(std::move(constraint));
    }
    return true;
  }
#endif
  if (!PySequence_Check(object)) {
    raise_type_mismatch(object, "Sequence");
    return false;
  }
  Py_ssize_t length = PySequence_Size(object);
  if (length < 0) {
    discard_pending_exception();
  } else {
    // The length only sizes the result. A __len__ may answer anything up to
    // sys.maxsize, so beyond a bound the list grows as the items arrive.
    constexpr Py_ssize_t kMaxReserved = Py_ssize_t{1} << 20;
    constraints.reserve(static_cast<std::size_t>(length < kMaxReserved ? length : kMaxReserved));
  }
  Ref iterator = Ref::steal(PyObject_GetIter(object));
  if (!iterator) return false;
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    auto constraint = constraint_from_object(item.get());
    if (!constraint) return false;
    constraints.push_back(std::move(*constraint));
  }
  return !PyErr_Occurred();
}

std::optional<core::ConstraintList> constraint_list_from_object(PyObject* object) {
  core::ConstraintList constraints;
  if (!fill_constraint_list(object, constraints)) return std::nullopt;
  return constraints;
}

Ref constraint_to_object(const core::Constraint& constraint) {
  return registry::make_constraint_object[static_cast<std::size_t>(constraint.kind())](constraint);
}

Ref constraint_list_to_object(std::span<const core::Constraint> constraints) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(constraints.size())));
  if (!list) return Ref();
  for (std::size_t i = 0; i < constraints.size(); ++i) {
    Ref item = constraint_to_object(constraints[i]);
    if (!item) return Ref();
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list;
}

}  // namespace norbe
