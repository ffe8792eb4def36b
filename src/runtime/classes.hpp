// The table-driven class machinery. A class is one traits struct:
//
//   struct DependsClass : ClassBase<DependsClass, core::DependsNode> {
//     static constexpr const char* name = "Depends";
//     static constexpr Parameters<1> parameters{{"name"}};
//     static Ref construct(const BoundArguments<1>& arguments);
//     static PyGetSetDef properties[];
//     ...
//   };
//
// Its name is written once: the full name in matching messages
// ("Depends.__new__()") and the text signature of its docstring
// ("Depends(name)\n--\n\n") come from the name and the parameter list.
// ClassBase::spec() reads which members the traits have (a constructor,
// properties, methods, text slots, a comparison) and make_type() turns that
// into a heap type with the flags every class of the module shares; the slot
// functions below are templates over the traits, each inside the failure
// barrier.
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
  const char* name;                      // bare class name; the type is named "builtins.<name>"
  const Signature* signature = nullptr;  // the constructor's; none: cannot be instantiated from Python
  const char* doc_body = nullptr;        // the docstring after the text signature
  int basicsize = 0;
  destructor dealloc = nullptr;
  newfunc construct = nullptr;
  vectorcallfunc vectorcall = nullptr;
  richcmpfunc richcompare = nullptr;
  reprfunc repr = nullptr;
  reprfunc str = nullptr;
  unaryfunc as_int = nullptr;
  PyGetSetDef* properties = nullptr;
  PyMethodDef* methods = nullptr;
};

// Creates the type object. A failure raises RuntimeError "An error occurred
// while initializing class <name>" with the underlying exception as cause,
// and returns null.
PyTypeObject* make_type(const ClassSpec& spec);

// Takes the one reference of a type that lives as long as the process, and
// makes the type immortal on free-threaded builds, where its count would
// otherwise be contended; with the interpreter lock the reference is simply
// kept.
void make_immortal(PyObject* type) noexcept;

struct NoExtra {};

// A payload held as a share of a node (core::Shared): getters read the node,
// setters write it after copying it while other holders share it.
template <class Stored>
concept SharedPayload = requires(Stored& stored) {
  stored.get();
  stored.mutate();
  stored.share();
};

template <class Stored>
const auto& payload_to_read(const Stored& stored) noexcept {
  if constexpr (SharedPayload<Stored>) {
    return stored.get();
  } else {
    return stored;
  }
}
template <class Stored>
auto& payload_to_write(Stored& stored) {
  if constexpr (SharedPayload<Stored>) {
    return stored.mutate();
  } else {
    return stored;
  }
}

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

  // Published once, to a type object that is complete (class attributes
  // included): a reader on any thread sees null or the whole type. A class
  // may name another slot (one the registry publishes) by declaring its own
  // type_object; every use below goes through Traits::type_object.
  static inline std::atomic<PyTypeObject*> type_object{nullptr};

  // The type object, created on first need and kept for the process; null
  // with the exception set if it cannot be made. A failed build publishes
  // nothing; of two threads building at once (no interpreter lock), the
  // first to publish wins and the other drops its own.
  static PyTypeObject* type() {
    if (PyTypeObject* published = Traits::type_object.load(std::memory_order_acquire)) return published;
    Ref created = Ref::steal(reinterpret_cast<PyObject*>(make_type(spec())));
    if (!created) return nullptr;
    auto* made = reinterpret_cast<PyTypeObject*>(created.get());
    if (!Traits::complete(made)) return nullptr;
    // Made immortal before it is published: a thread that loses the race
    // below leaves its own type behind, never freed.
    make_immortal(created.release());
    PyTypeObject* expected = nullptr;
    if (!Traits::type_object.compare_exchange_strong(expected, made, std::memory_order_acq_rel))
      return expected;
    return made;
  }

  // Adds class attributes to the new type before it is published.
  static bool complete(PyTypeObject*) { return true; }

  static bool is_instance(PyObject* object) noexcept {
    PyTypeObject* type = Traits::type_object.load(std::memory_order_acquire);
    return type != nullptr && PyObject_TypeCheck(object, type);
  }
  static Object* cast(PyObject* object) noexcept { return reinterpret_cast<Object*>(object); }

  static const Signature& signature() {
    static constexpr Signature value = Traits::parameters.signature(Traits::name);
    return value;
  }

  // The slots and tables that the traits declare.
  static ClassSpec spec() {
    ClassSpec spec{.name = Traits::name, .basicsize = sizeof(Object), .dealloc = dealloc};
    if constexpr (requires { Traits::parameters; }) {
      spec.signature = &signature();
      spec.construct = tp_new;
      spec.vectorcall = vectorcall;
    }
    if constexpr (requires { Traits::doc_body; }) spec.doc_body = Traits::doc_body;
    if constexpr (requires { Traits::richcompare; }) spec.richcompare = Traits::richcompare;
    if constexpr (requires { Traits::repr; }) spec.repr = Traits::repr;
    if constexpr (requires { Traits::str; }) spec.str = Traits::str;
    if constexpr (requires { Traits::as_int; }) spec.as_int = Traits::as_int;
    if constexpr (requires { Traits::properties; }) spec.properties = Traits::properties;
    if constexpr (requires { Traits::methods; }) spec.methods = Traits::methods;
    return spec;
  }

  // Hook run before every borrow of an instance's payload.
  static void check_access(Object*) {}
  static Extra make_extra() { return Extra{}; }

  // A new instance holding the payload (moved in); empty with the exception
  // set if the object cannot be allocated.
  static Ref create(Payload&& payload) { return create_in(Traits::type(), std::move(payload)); }
  static Ref create_in(PyTypeObject* cls, Payload&& payload) {
    if (cls == nullptr) return Ref();
    PyObject* raw = cls->tp_alloc(cls, 0);
    if (raw == nullptr) return Ref();
    Object* object = cast(raw);
    new (&object->borrow) BorrowCounter(0);
    new (&object->payload) Payload(std::move(payload));
    new (&object->extra) Extra(Traits::make_extra());
    return Ref::steal(raw);
  }

  // Releases the payload. A class may override it; one that can report a
  // failure is not noexcept and returns false with the exception set.
  static bool destroy(Object* object) noexcept {
    object->extra.~Extra();
    object->payload.~Payload();
    return true;
  }

  // Deallocation may run while an exception is propagating: a destroy that
  // can fail (and so touch the pending exception) runs with it set aside and
  // reports through the unraisable hook. A noexcept destroy is plain C++ and
  // needs no such care.
  static void dealloc(PyObject* self) noexcept {
    PyTypeObject* cls = Py_TYPE(self);
    if constexpr (noexcept(Traits::destroy(std::declval<Object*>()))) {
      Traits::destroy(cast(self));
    } else {
      PyObject* pending = PyErr_GetRaisedException();
      barrier_unraisable(nullptr, [&] { return Traits::destroy(cast(self)); });
      PyErr_SetRaisedException(pending);
    }
    cls->tp_free(self);
    Py_DECREF(cls);
  }

  // Constructors: both entry points share the matcher and Traits::construct.
  static PyObject* tp_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
    return barrier([&] {
      BoundArguments<Traits::parameters.size()> bound;
      return bind(signature(), args, kwargs, bound) ? Traits::construct(bound) : Ref();
    });
  }
  static PyObject* vectorcall(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    return barrier([&] {
      BoundArguments<Traits::parameters.size()> bound;
      return bind(signature(), args, nargsf, kwnames, bound) ? Traits::construct(bound) : Ref();
    });
  }

  // Converts constructor argument i, failures named after its parameter.
  template <class Arguments, class Convert>
  static auto argument(const Arguments& arguments, std::size_t i, Convert&& convert) {
    return convert_argument(Traits::parameters.names[i], [&] { return convert(arguments[i]); });
  }

  // Reads one field under a shared borrow and converts it to a new object.
  template <auto Read>
  static PyObject* getter(PyObject* self, void*) noexcept {
    return barrier([&] {
      Object* object = cast(self);
      Traits::check_access(object);
      CriticalSection section(self);
      SharedBorrow borrow(object->borrow);
      if (!borrow) return Ref(borrow.refuse());
      return Read(payload_to_read(object->payload));
    });
  }

  // Converts the value first (failures named after the property), then
  // replaces the field under the exclusive borrow.
  template <auto Convert, auto Write>
  static int setter(PyObject* self, PyObject* value, void* closure) noexcept {
    return barrier_status([&] {
      if (value == nullptr) {
        raise(PyExc_AttributeError, "can't delete attribute");
        return false;
      }
      auto converted = convert_argument(static_cast<const char*>(closure), [&] { return Convert(value); });
      if (!converted) return false;
      Object* object = cast(self);
      Traits::check_access(object);
      CriticalSection section(self);
      ExclusiveBorrow borrow(object->borrow);
      if (!borrow) {
        borrow.refuse();
        return false;
      }
      Write(payload_to_write(object->payload), std::move(*converted));
      return true;
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
