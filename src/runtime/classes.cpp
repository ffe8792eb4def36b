#include "runtime/classes.hpp"

#include <string>
#include <vector>

namespace norbe {
namespace {

// The allocation slot of every class: instances are never tracked by the
// garbage collector and have no variable part, and ClassBase::create
// constructs every field, so the object memory needs no zero fill.
PyObject* allocate_instance(PyTypeObject* type, Py_ssize_t) noexcept {
  void* memory = PyObject_Malloc(static_cast<std::size_t>(type->tp_basicsize));
  if (memory == nullptr) return PyErr_NoMemory();
  return PyObject_Init(static_cast<PyObject*>(memory), type);
}

}  // namespace

PyTypeObject* make_type(const ClassSpec& spec) {
  std::vector<PyType_Slot> slots;
  auto add = [&](int slot, auto* pointer) {
    if (pointer != nullptr) slots.push_back({slot, reinterpret_cast<void*>(pointer)});
  };
  add(Py_tp_alloc, &allocate_instance);
  add(Py_tp_dealloc, spec.dealloc);
  add(Py_tp_new, spec.construct);
  add(Py_tp_richcompare, spec.richcompare);
  add(Py_tp_repr, spec.repr);
  add(Py_tp_str, spec.str);
  add(Py_nb_int, spec.as_int);
  add(Py_tp_getset, spec.properties);
  add(Py_tp_methods, spec.methods);
  if (spec.doc != nullptr) slots.push_back({Py_tp_doc, const_cast<char*>(spec.doc)});
  slots.push_back({0, nullptr});

  const std::string qualified = std::string("builtins.") + spec.name;
  unsigned int flags = Py_TPFLAGS_DEFAULT;
  if (spec.construct == nullptr) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
  PyType_Spec type_spec{qualified.c_str(), spec.basicsize, 0, flags, slots.data()};

  PyObject* created = PyType_FromSpec(&type_spec);
  if (created == nullptr) {
    Ref cause = take_pending_exception();
    std::string message = std::string("An error occurred while initializing class ") + spec.name;
    Ref text =
        check_new(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    Ref error = check_new(PyObject_CallOneArg(PyExc_RuntimeError, text.get()));
    PyException_SetCause(error.get(), cause.release());
    raise_object(std::move(error));
  }
  auto* type = reinterpret_cast<PyTypeObject*>(created);
  if (spec.vectorcall != nullptr) type->tp_vectorcall = spec.vectorcall;
  return type;
}

}  // namespace norbe
