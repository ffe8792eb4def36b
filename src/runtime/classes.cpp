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
  // The docstring: the text signature made from the constructor's
  // parameters, then the class's own text. PyType_FromSpec copies it.
  std::string doc;
  if (spec.signature != nullptr) {
    doc = spec.signature->text_signature() + "\n--\n\n";
    if (spec.doc_body != nullptr) doc += spec.doc_body;
    slots.push_back({Py_tp_doc, doc.data()});
  }
  slots.push_back({0, nullptr});

  const std::string qualified = std::string("builtins.") + spec.name;
  unsigned int flags = Py_TPFLAGS_DEFAULT;
  if (spec.construct == nullptr) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
  PyType_Spec type_spec{qualified.c_str(), spec.basicsize, 0, flags, slots.data()};

  PyObject* created = PyType_FromSpec(&type_spec);
  if (created == nullptr) {
    Ref cause = take_pending_exception();
    Ref message =
        Ref::steal(PyUnicode_FromFormat("An error occurred while initializing class %s", spec.name));
    if (message) raise_with_cause(PyExc_RuntimeError, message.get(), std::move(cause));
    return nullptr;
  }
  auto* type = reinterpret_cast<PyTypeObject*>(created);
  if (spec.vectorcall != nullptr) type->tp_vectorcall = spec.vectorcall;
  return type;
}

void make_immortal(PyObject* type) noexcept {
#if defined(Py_GIL_DISABLED)
  // Without the interpreter lock every instance made or freed on any thread
  // counts on its type's shared counter, and threads building at once
  // contend for it; an immortal type is referenced at no cost.
#if PY_VERSION_HEX >= 0x030F0000
  // The interpreter's own call. It declines an object that is not uniquely
  // referenced, and a new type never is (its MRO and its descriptors refer
  // to it): then the step below.
  if (PyUnstable_SetImmortal(type)) return;
#endif
  // The state the interpreter gives an immortal object under free threading
  // (object.h, refcount.h): owned by no thread, the local count at its
  // immortal value, the shared count zero. Written directly, as no call
  // makes this object immortal; it runs before the type is published, while
  // no other thread can reach it.
  type->ob_tid = _Py_UNOWNED_TID;
  type->ob_ref_local = _Py_IMMORTAL_REFCNT_LOCAL;
  type->ob_ref_shared = 0;
#else
  // With the interpreter lock the count is not contended: the one reference
  // is simply kept, and the type lives as long as the process either way.
  (void)type;
#endif
}

}  // namespace norbe
