#include "spec/spec_option.hpp"

#include "package/constraint/mod.hpp"
#include "package/version.hpp"
#include "runtime/log.hpp"

namespace norbe {
namespace {

constexpr log::CallSite kOptionValueFailure{log::Level::Error, "norbe::spec::spec_option",
                                            "src/spec/spec_option", 237};

// numpy is not linked: its boolean scalar type is recognised by its
// __module__ and __name__. The last type found to be one is remembered.
PyTypeObject* g_numpy_bool_type = nullptr;

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

bool is_numpy_bool(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  if (type == g_numpy_bool_type) return true;
  auto* type_object = reinterpret_cast<PyObject*>(type);
  if (!attribute_equals(type_object, "__module__", {"numpy"})) return false;
  if (!attribute_equals(type_object, "__name__", {"bool_", "bool"})) return false;
  Py_XDECREF(reinterpret_cast<PyObject*>(g_numpy_bool_type));
  g_numpy_bool_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(type_object));
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
    return std::optional<core::SpecOptionValue>(std::in_place, kStr,
                                                static_cast<const char*>(PyUnicode_DATA(object)),
                                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(object)));
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) {
    discard_pending_exception();
    return std::nullopt;
  }
  return std::optional<core::SpecOptionValue>(std::in_place, kStr, data, static_cast<std::size_t>(size));
}

// The general path, for objects of any other type: every step may run user code.
std::optional<core::SpecOptionValue> general_value(PyObject* object) {
  if (is_numpy_bool(object)) {
    if (auto value = numpy_bool_value(object)) return value;
  }
  long long integer = PyLong_AsLongLong(object);
  if (integer != -1 || !PyErr_Occurred()) return core::SpecOptionValue(static_cast<std::int64_t>(integer));
  discard_pending_exception();
  double real = PyFloat_AsDouble(object);
  if (real != -1.0 || !PyErr_Occurred()) return core::SpecOptionValue(real);
  discard_pending_exception();
  if (PyUnicode_Check(object)) {
    if (auto value = text_value(object)) return value;
  }
  if (VersionClass::is_instance(object)) return core::SpecOptionValue(version_from_object(object));
  return std::nullopt;
}

}  // namespace

std::optional<core::SpecOptionValue> try_option_value(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  if (type == &PyBool_Type) return core::SpecOptionValue(object == Py_True);
  if (type == &PyLong_Type) return exact_int_value(object);
  if (type == &PyFloat_Type) return core::SpecOptionValue(PyFloat_AS_DOUBLE(object));
  if (type == &PyUnicode_Type) return text_value(object);
  if (type == VersionClass::type_object) return core::SpecOptionValue(VersionClass::cast(object)->payload);
  return general_value(object);
}

std::string type_text(PyObject* object) {
  return str_of(reinterpret_cast<PyObject*>(Py_TYPE(object)));
}

core::SpecOptionValue option_value_from_object(PyObject* object) {
  if (auto value = try_option_value(object)) return std::move(*value);
  std::string message = "cannot cast Python type '" + type_text(object) + "' to SpecOptionValue";
  log::emit(kOptionValueFailure, message);
  raise(PyExc_TypeError, message);
}

Ref option_value_to_object(const core::SpecOptionValue& value) {
  switch (core::kind_of(value)) {
    case core::OptionKind::Bool:
      return Ref::borrow(std::get<bool>(value) ? Py_True : Py_False);
    case core::OptionKind::Int:
      return check_new(PyLong_FromLongLong(std::get<std::int64_t>(value)));
    case core::OptionKind::Float:
      return check_new(PyFloat_FromDouble(std::get<double>(value)));
    case core::OptionKind::Str:
      return string_to_object(std::get<std::string>(value));
    case core::OptionKind::Version:
      return version_to_object(std::get<core::Version>(value));
  }
  panic("option value of unknown kind");
}

namespace {

Ref read_text(const std::string& text) {
  return string_to_object(text);
}
void write_package_name(core::SpecOptionNode& node, std::string&& text) {
  node.package_name = std::move(text);
}
void write_option_name(core::SpecOptionNode& node, std::string&& text) {
  node.option_name = std::move(text);
}
Ref read_package_name(const core::SpecOptionNode& node) {
  return read_text(node.package_name);
}
Ref read_option_name(const core::SpecOptionNode& node) {
  return read_text(node.option_name);
}

PyGetSetDef g_properties[] = {
    property<SpecOptionClass, read_package_name, string_from_object, write_package_name>("package_name"),
    property<SpecOptionClass, read_option_name, string_from_object, write_option_name>("option_name"),
    {},
};

}  // namespace

ClassSpec SpecOptionClass::spec() {
  return ClassSpec{
      .name = "SpecOption",
      .doc = "SpecOption(package_name, option_name)\n--\n\n",
      .basicsize = sizeof(Object),
      .dealloc = dealloc,
      .construct = tp_new,
      .vectorcall = vectorcall,
      .richcompare = richcompare<SpecOptionClass>,
      .properties = g_properties,
  };
}

Ref SpecOptionClass::construct(const BoundArguments<2>& arguments) {
  std::string package_name =
      convert_argument("package_name", [&] { return string_from_object(arguments[0]); });
  std::string option_name = convert_argument("option_name", [&] { return string_from_object(arguments[1]); });
  return create(core::SpecOptionNode{std::move(package_name), std::move(option_name)});
}

}  // namespace norbe
