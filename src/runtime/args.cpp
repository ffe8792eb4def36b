#include "runtime/args.hpp"

#include <utility>
#include <vector>

namespace norbe {
namespace {

std::string quoted(const char* name) {
  std::string out(1, '\'');
  out.append(name).push_back('\'');
  return out;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(const std::vector<const char*>& names) {
  std::string out = quoted(names[0]);
  for (std::size_t i = 1; i < names.size(); ++i) {
    if (names.size() > 2) out += ",";
    out += i + 1 == names.size() ? " and " : " ";
    out += quoted(names[i]);
  }
  return out;
}

bool refuse_too_many_positional(const Signature& signature, std::size_t given) {
  std::string message = signature.full_name();
  if (signature.required == signature.names.size()) {
    message += " takes " + std::to_string(signature.names.size());
  } else {
    message +=
        " takes from " + std::to_string(signature.required) + " to " + std::to_string(signature.names.size());
  }
  message +=
      " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
  raise(PyExc_TypeError, message);
  return false;
}

bool bind_positional(const Signature& signature, PyObject* const* args, std::size_t count, PyObject** slots) {
  if (count > signature.names.size()) return refuse_too_many_positional(signature, count);
  for (std::size_t i = 0; i < count; ++i) slots[i] = args[i];
  return true;
}

// Keyword names are compared as str objects, so that a name UTF-8 cannot
// hold (a lone surrogate) is still a keyword like any other.
bool bind_keyword(const Signature& signature, PyObject* name, PyObject* value, PyObject** slots, Ref* extra) {
  for (std::size_t i = 0; PyUnicode_Check(name) && i < signature.names.size(); ++i) {
    const char* parameter = signature.names[i];
    if (PyUnicode_CompareWithASCIIString(name, parameter) != 0) continue;
    if (slots[i] != nullptr) {
      raise(PyExc_TypeError, signature.full_name() + " got multiple values for argument '" + parameter + "'");
      return false;
    }
    slots[i] = value;
    return true;
  }
  if (!signature.extra_keywords) {
    const std::string full_name = signature.full_name();
    Ref message = Ref::steal(
        PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'", full_name.c_str(), name));
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
    return false;
  }
  if (!*extra) {
    *extra = Ref::steal(PyDict_New());
    if (!*extra) return false;
  }
  return PyDict_SetItem(extra->get(), name, value) == 0;
}

bool check_required(const Signature& signature, PyObject** slots) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (slots[i] == nullptr) missing.push_back(signature.names[i]);
  }
  if (missing.empty()) return true;
  raise(PyExc_TypeError, signature.full_name() + " missing " + std::to_string(missing.size()) +
                             " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                             quoted_list(missing));
  return false;
}

}  // namespace

std::string Signature::full_name() const {
  return std::string(owner) + "." + function + "()";
}

std::string Signature::text_signature() const {
  std::string text = std::string(owner) + "(";
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) text += ", ";
    text += names[i];
    if (i >= required) text += "=None";
  }
  if (extra_keywords) text += names.empty() ? "**kwargs" : ", **kwargs";
  return text + ")";
}

bool match_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** slots,
                     Ref* extra) {
  if (!bind_positional(signature, &PyTuple_GET_ITEM(args, 0),
                       static_cast<std::size_t>(PyTuple_GET_SIZE(args)), slots))
    return false;
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      if (!bind_keyword(signature, name, value, slots, extra)) return false;
    }
  }
  return check_required(signature, slots);
}

bool match_arguments(const Signature& signature, PyObject* const* args, std::size_t nargsf, PyObject* kwnames,
                     PyObject** slots, Ref* extra) {
  const auto count = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  if (!bind_positional(signature, args, count, slots)) return false;
  if (kwnames != nullptr) {
    const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
      if (!bind_keyword(signature, PyTuple_GET_ITEM(kwnames, i), args[count + static_cast<std::size_t>(i)],
                        slots, extra))
        return false;
    }
  }
  return check_required(signature, slots);
}

namespace {

// "argument '<name>': " + str(error).
Ref argument_message(const char* name, PyObject* error) {
  std::string prefix = "argument '";
  prefix.append(name).append("': ");
  Ref head = string_to_object(prefix);
  if (!head) return Ref();
  PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(error)->args;
  // str() of an exception with one argument is str() of that argument.
  Ref text = args != nullptr && PyTuple_CheckExact(args) && PyTuple_GET_SIZE(args) == 1 &&
                     PyUnicode_CheckExact(PyTuple_GET_ITEM(args, 0))
                 ? Ref::borrow(PyTuple_GET_ITEM(args, 0))
                 : Ref::steal(PyObject_Str(error));
  if (!text) return Ref();
  return Ref::steal(PyUnicode_Concat(head.get(), text.get()));
}

}  // namespace

void prefix_argument_error(const char* name) {
  Ref error = take_pending_exception();
  if (!Py_IS_TYPE(error.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    raise_object(std::move(error));
    return;
  }
  auto* base = reinterpret_cast<PyBaseExceptionObject*>(error.get());
  Ref message = argument_message(name, error.get());
  if (!message) return;
  if (Py_REFCNT(error.get()) == 1 && base->dict == nullptr && base->notes == nullptr &&
      base->traceback == nullptr && base->cause == nullptr) {
    // Nothing else holds the exception and it carries nothing but its
    // message (the common case: the module's own conversion made it), so
    // giving it the new message is the same as replacing it with a new
    // TypeError whose cause is its (absent) cause, and saves making one.
    Ref args = Ref::steal(PyTuple_Pack(1, message.get()));
    if (!args) return;
    Ref replaced_args = Ref::steal(std::exchange(base->args, args.release()));
    Ref replaced_context = Ref::steal(std::exchange(base->context, nullptr));
    base->suppress_context = 1;  // as PyException_SetCause leaves it
    raise_object(std::move(error));
    return;
  }
  raise_with_cause(PyExc_TypeError, message.get(), Ref::steal(PyException_GetCause(error.get())));
}

std::string type_qualname(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) {
    // A static type's qualified name is its tp_name after the last dot.
    const std::string_view full = type->tp_name;
    const std::size_t dot = full.rfind('.');
    return std::string(dot == std::string_view::npos ? full : full.substr(dot + 1));
  }
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(object)));
  const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (text == nullptr) {
    discard_pending_exception();
    return "<failed to extract type name>";
  }
  return text;
}

Failed raise_type_mismatch(PyObject* value, std::string_view expected) {
  std::string message(1, '\'');
  message.append(type_qualname(value)).append("' object cannot be cast as '").append(expected).append("'");
  return raise(PyExc_TypeError, message);
}

std::optional<std::string_view> utf8_view_of_str(PyObject* object) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) return std::nullopt;
  return std::string_view(data, static_cast<std::size_t>(size));
}

}  // namespace norbe
