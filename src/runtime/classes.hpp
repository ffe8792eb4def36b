// The table-driven class machinery. A class is a traits struct:
//
//   struct DependsClass : ClassBase<DependsClass, core::DependsNode> {
//     static constexpr const char* name = "Depends";
//     ...
//   };
//
// and one ClassSpec saying which slots it has. make_type() turns that ClassSpec into
// a heap type with the flags every class of the module shares; the slot
// functions below are templates over the traits, each running inside the
// failure barrier.
#pragma once

#include <Python.h>

#include <atomic>
#include <new>
#include <utility>

#include "runtime/args.hpp"
#include "runtime/borrow.hpp"
#include "runtime/errors.hpp"

namespace norbe {

struct ClassSpec {
  const char* name;  // bare class name; the type is named "builtins.<name>"
  const char* doc = nullptr;
  int basicsize = 0;
  destructor dealloc = nullptr;
  newfunc construct = nullptr;  // none: the class cannot be instantiated from Python
  vectorcallfunc vectorcall = nullptr;
  richcmpfunc richcompare = nullptr;
  reprfunc repr = nullptr;
  reprfunc str = nullptr;
  unaryfunc as_int = nullptr;
  PyGetSetDef* properties = nullptr;
  PyMethodDef* methods = nullptr;
};

// Creates the type object. A failure raises RuntimeError "An error occurred
// while initializing class <name>" with the underlying exception as cause.
PyTypeObject* make_type(const ClassSpec& spec);

struct NoExtra {};

// An instance: the object header, the borrow counter, the payload, and
// whatever else the class keeps beside the payload (IfThen: its thread).
template <class Payload, class Extra = NoExtra>
struct Instance {
  PyObject_HEAD BorrowCounter borrow;
  Payload payload;
  [[no_unique_address]] Extra extra;
};

template <class Traits, class PayloadT, class ExtraT = NoExtra>
struct ClassBase {
  using Payload = PayloadT;
  using Extra = ExtraT;
  using Object = Instance<Payload, Extra>;

  static inline PyTypeObject* type_object = nullptr;

  // The type object, created on first need and kept for the process.
  static PyTypeObject* type() {
    if (type_object == nullptr) type_object = make_type(Traits::spec());
    return type_object;
  }
  static bool is_instance(PyObject* object) noexcept {
    return type_object != nullptr && PyObject_TypeCheck(object, type_object);
  }
  static Object* cast(PyObject* object) noexcept { return reinterpret_cast<Object*>(object); }

  // Hook run before every borrow of an instance's payload.
  static void check_access(Object*) {}
  static Extra make_extra() { return Extra{}; }

  // A new instance holding the payload (moved in).
  static Ref create(Payload&& payload) {
    PyTypeObject* cls = Traits::type();
    PyObject* raw = cls->tp_alloc(cls, 0);
    if (raw == nullptr) throw_python_error();
    Object* object = cast(raw);
    new (&object->borrow) BorrowCounter(0);
    new (&object->payload) Payload(std::move(payload));
    new (&object->extra) Extra(Traits::make_extra());
    return Ref::steal(raw);
  }

  // Releases the payload; a class may override to decide otherwise.
  static void destroy(Object* object) noexcept {
    object->extra.~Extra();
    object->payload.~Payload();
  }

  // Deallocation may run while an exception is propagating: a destroy that
  // can fail (and so touch the pending exception) runs with it set aside. A
  // noexcept destroy is plain C++ and needs no such care.
  static void dealloc(PyObject* self) noexcept {
    PyTypeObject* cls = Py_TYPE(self);
    if constexpr (noexcept(Traits::destroy(std::declval<Object*>()))) {
      Traits::destroy(cast(self));
    } else {
      PyObject* pending = PyErr_GetRaisedException();
      barrier_unraisable(nullptr, [&] { Traits::destroy(cast(self)); });
      PyErr_SetRaisedException(pending);
    }
    cls->tp_free(self);
    Py_DECREF(cls);
  }

  // Constructors: both entry points share the matcher and Traits::construct.
  static PyObject* tp_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
    return barrier<PyObject*>(nullptr, [&] {
      auto bound = bind<Traits::parameters.size()>(Traits::signature, args, kwargs);
      return Traits::construct(bound).release();
    });
  }
  static PyObject* vectorcall(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    return barrier<PyObject*>(nullptr, [&] {
      auto bound = bind<Traits::parameters.size()>(Traits::signature, args, nargsf, kwnames);
      return Traits::construct(bound).release();
    });
  }

  // Reads one field under a shared borrow and converts it to a new object.
  template <auto Read>
  static PyObject* getter(PyObject* self, void*) noexcept {
    return barrier<PyObject*>(nullptr, [&] {
      Object* object = cast(self);
      Traits::check_access(object);
      SharedBorrow borrow(object->borrow);
      return Read(object->payload).release();
    });
  }

  // Converts the value first (failures named after the property), then
  // replaces the field under the exclusive borrow.
  template <auto Convert, auto Write>
  static int setter(PyObject* self, PyObject* value, void* closure) noexcept {
    return barrier<int>(-1, [&] {
      if (value == nullptr) raise(PyExc_AttributeError, "can't delete attribute");
      auto converted = convert_argument(static_cast<const char*>(closure), [&] { return Convert(value); });
      Object* object = cast(self);
      Traits::check_access(object);
      ExclusiveBorrow borrow(object->borrow);
      Write(object->payload, std::move(converted));
      return 0;
    });
  }
};

template <class>
struct MemberOf;
template <class Class_, class Type_>
struct MemberOf<Type_ Class_::*> {
  using Class = Class_;
  using Type = Type_;
};

// Replaces one field of a payload with an already converted value.
template <auto Member>
void write_field(typename MemberOf<decltype(Member)>::Class& payload,
                 typename MemberOf<decltype(Member)>::Type&& value) {
  payload.*Member = std::move(value);
}

// A property table entry whose closure is its own name (used by the setter
// to name conversion failures).
template <class Traits, auto Read, auto Convert, auto Write>
constexpr PyGetSetDef property(const char* name) {
  return PyGetSetDef{name, &Traits::template getter<Read>, &Traits::template setter<Convert, Write>, nullptr,
                     const_cast<char*>(name)};
}

}  // namespace norbe
