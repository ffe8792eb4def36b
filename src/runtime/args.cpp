#include "runtime/args.hpp"

#include <cstring>
#include <vector>

namespace norbe {
namespace {

std::string quoted(const char* name) {
  return std::string("'") + name + "'";
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

[[noreturn]] void raise_too_many_positional(const Signature& signature, std::size_t given) {
  std::string message = signature.full_name;
  if (signature.required == signature.names.size()) {
    message += " takes " + std::to_string(signature.names.size());
  } else {
    message +=
        " takes from " + std::to_string(signature.required) + " to " + std::to_string(signature.names.size());
  }
  message +=
      " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
  raise(PyExc_TypeError, message);
}

void bind_positional(const Signature& signature, PyObject* const* args, std::size_t count, PyObject** slots) {
  if (count > signature.names.size()) raise_too_many_positional(signature, count);
  for (std::size_t i = 0; i < count; ++i) slots[i] = args[i];
}

void bind_keyword(const Signature& signature, PyObject* name, PyObject* value, PyObject** slots, Ref* extra) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
  if (text == nullptr) PyErr_Clear();
  for (std::size_t i = 0; text != nullptr && i < signature.names.size(); ++i) {
    const char* parameter = signature.names[i];
    if (std::strlen(parameter) != static_cast<std::size_t>(size) || std::memcmp(parameter, text, size) != 0)
      continue;
    if (slots[i] != nullptr) {
      raise(PyExc_TypeError,
            std::string(signature.full_name) + " got multiple values for argument '" + parameter + "'");
    }
    slots[i] = value;
    return;
  }
  if (!signature.extra_keywords) {
    raise(PyExc_TypeError,
          std::string(signature.full_name) + " got an unexpected keyword argument '" + str_of(name) + "'");
  }
  if (!*extra) *extra = check_new(PyDict_New());
  check_status(PyDict_SetItem(extra->get(), name, value));
}

void check_required(const Signature& signature, PyObject** slots) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (slots[i] == nullptr) missing.push_back(signature.names[i]);
  }
  if (missing.empty()) return;
  raise(PyExc_TypeError, std::string(signature.full_name) + " missing " + std::to_string(missing.size()) +
                             " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " +
                             quoted_list(missing));
}

}  // namespace

void match_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** slots,
                     Ref* extra) {
  bind_positional(signature, &PyTuple_GET_ITEM(args, 0), static_cast<std::size_t>(PyTuple_GET_SIZE(args)),
                  slots);
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &name, &value)) bind_keyword(signature, name, value, slots, extra);
  }
  check_required(signature, slots);
}

void match_arguments(const Signature& signature, PyObject* const* args, std::size_t nargsf, PyObject* kwnames,
                     PyObject** slots, Ref* extra) {
  const auto count = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  bind_positional(signature, args, count, slots);
  if (kwnames != nullptr) {
    const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
      bind_keyword(signature, PyTuple_GET_ITEM(kwnames, i), args[count + static_cast<std::size_t>(i)], slots,
                   extra);
    }
  }
  check_required(signature, slots);
}

void prefix_argument_error(const char* name) {
  Ref error = take_pending_exception();
  if (!Py_IS_TYPE(error.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError)))
    raise_object(std::move(error));
  std::string message = std::string("argument '") + name + "': " + str_of(error.get());
  Ref text = check_new(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  Ref replacement = check_new(PyObject_CallOneArg(PyExc_TypeError, text.get()));
  PyException_SetCause(replacement.get(), PyException_GetCause(error.get()));
  raise_object(std::move(replacement));
}

std::string type_qualname(PyObject* object) {
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(object)));
  const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "<failed to extract type name>";
  }
  return text;
}

void raise_type_mismatch(PyObject* value, std::string_view expected) {
  std::string message = "'" + type_qualname(value) + "' object cannot be cast as '";
  message.append(expected).append("'");
  raise(PyExc_TypeError, message);
}

std::string_view utf8_view_of_str(PyObject* object) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) throw_python_error();
  return std::string_view(data, static_cast<std::size_t>(size));
}

Ref string_to_object(std::string_view text) {
  return check_new(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace norbe
