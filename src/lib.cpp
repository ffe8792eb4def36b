// The module frame: PyInit_norbe, the submodule tree and the two functions.
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "core/node_pool.hpp"
#include "module_classes.hpp"
#include "process/log.hpp"
#include "process/stdout.hpp"
#include "process/threads.hpp"
#include "runtime/errors.hpp"

namespace norbe {
namespace {

constexpr log::CallSite kTracingActivated{log::Level::Warn, "norbe", "src/lib", 100};

PyObject* main_entry(PyObject*, PyObject*) noexcept {
  return barrier([] {
    std::string error = write_stdout("norbe entrypoint\n");
    if (!error.empty()) panic("failed printing to stdout: " + error);
    return Ref::borrow(Py_None);
  });
}

PyObject* init_tracing(PyObject*, PyObject*) noexcept {
  return barrier([] {
    if (!log::install_sink(log::colour_from_environment())) {
      panic(
          "Failed to set subscriber: SetGlobalDefaultError(\"a global default trace dispatcher has already "
          "been "
          "set\")");
    }
    log::emit(kTracingActivated, "tracing activated");
    return Ref::borrow(Py_None);
  });
}

PyMethodDef g_init_tracing_def{"init_tracing", init_tracing, METH_NOARGS, "init_tracing()\n--\n\n"};
PyMethodDef g_main_entry_def{"main_entry", main_entry, METH_NOARGS, "main_entry()\n--\n\n"};

PyModuleDef g_module_def{PyModuleDef_HEAD_INIT, "norbe", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

// The interpreter that owns the module, and the module built for it
// (published once, complete).
std::atomic<std::int64_t> g_owner_interpreter{-1};
std::atomic<PyObject*> g_module{nullptr};

// The once-only build: one thread builds while the others sleep on the
// condition, with the interpreter released, until it is done; a failed build
// wakes them and the next caller builds again. The mutex is held only for a
// few instructions at a time, never across a call into the interpreter.
std::mutex g_build_mutex;
std::condition_variable g_build_done;
std::uint64_t g_builder_thread = 0;  // 0: nobody builds (guarded by g_build_mutex)

std::string exception_debug_text(PyObject* exception) {
  auto repr_of = [](PyObject* object) {
    Ref text = Ref::steal(PyObject_Repr(object));
    const char* data = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (data == nullptr) discard_pending_exception();
    return std::string(data != nullptr ? data : "<unprintable>");
  };
  Ref traceback = Ref::steal(PyException_GetTraceback(exception));
  return "PyErr { type: " + repr_of(reinterpret_cast<PyObject*>(Py_TYPE(exception))) +
         ", value: " + repr_of(exception) + ", traceback: " + repr_of(traceback ? traceback.get() : Py_None) +
         " }";
}

// Appends the name to the module's __all__ (made on first use), then sets
// the attribute. False with the exception set on failure.
bool attach(PyObject* module, const char* name, PyObject* value) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    discard_pending_exception();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  Ref text = string_to_object(name);
  if (!text) return false;
  if (PyList_Append(all.get(), text.get()) < 0) {
    Ref error = take_pending_exception();
    panic("could not append __name__ to __all__: " + exception_debug_text(error.get()));
  }
  return PyObject_SetAttrString(module, name, value) == 0;
}

// Makes the type objects of the listed classes and attaches them in the
// order of their names.
template <class... Classes>
bool attach_classes(PyObject* module, ClassList<Classes...>) {
  std::vector<std::pair<const char*, PyTypeObject*>> classes{{Classes::name, Classes::type()}...};
  std::sort(classes.begin(), classes.end(),
            [](const auto& a, const auto& b) { return std::strcmp(a.first, b.first) < 0; });
  for (const auto& [name, type] : classes) {
    if (type == nullptr || !attach(module, name, reinterpret_cast<PyObject*>(type))) return false;
  }
  return true;
}

bool register_submodule(PyObject* parent, PyObject* child, const char* dotted_name) {
  Ref name = Ref::steal(PyObject_GetAttrString(child, "__name__"));
  if (!name) return false;
  const char* text = PyUnicode_AsUTF8(name.get());
  if (text == nullptr || !attach(parent, text, child)) return false;
  Ref modules = Ref::borrow(PySys_GetObject("modules"));
  Ref key = string_to_object(dotted_name);
  return modules && key && PyObject_SetItem(modules.get(), key.get(), child) == 0;
}

bool attach_function(PyObject* module, PyMethodDef* def) {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return false;
  Ref function = Ref::steal(PyCFunction_NewEx(def, module, module_name.get()));
  return function && attach(module, def->ml_name, function.get());
}

// A submodule holding the listed classes, registered under its dotted name.
template <class Classes>
bool add_submodule(PyObject* package, const char* name, const char* dotted_name) {
  Ref module = Ref::steal(PyModule_New(name));
  return module && attach_classes(module.get(), Classes{}) &&
         register_submodule(package, module.get(), dotted_name);
}

Ref build_module() {
  Ref top = Ref::steal(PyModule_Create2(&g_module_def, 1013));
  if (!top) return Ref();
#ifdef Py_GIL_DISABLED
  // Every process-wide slot is published once, complete, and instances are
  // read and written in their critical sections: the module needs no GIL.
  if (PyUnstable_Module_SetGIL(top.get(), Py_MOD_GIL_NOT_USED) < 0) return Ref();
#endif
  Ref package = Ref::steal(PyModule_New("package"));
  if (!package) return Ref();
  if (!add_submodule<OutlineModuleClasses>(package.get(), "outline", "norbe.package.outline") ||
      !add_submodule<ConstraintModuleClasses>(package.get(), "constraint", "norbe.package.constraint") ||
      !add_submodule<VersionModuleClasses>(package.get(), "version", "norbe.package.version") ||
      !register_submodule(top.get(), package.get(), "norbe.package") ||
      !attach_function(top.get(), &g_init_tracing_def) || !attach_function(top.get(), &g_main_entry_def))
    return Ref();
  return top;
}

bool check_owning_interpreter() {
  const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current < 0) return false;
  std::int64_t expected = -1;
  if (g_owner_interpreter.compare_exchange_strong(expected, current) || expected == current) return true;
  raise(PyExc_ImportError,
        "norbe does not support sub-interpreters yet: it can be imported by one interpreter per process only "
        "(see the project's issue tracker, \"sub-interpreter support\")");
  return false;
}

// True when this thread is to build; false with the cached module in
// `built` once another thread has built it; false with an exception set when
// this thread is building already (an import re-entered from the build).
bool claim_build(Ref& built) {
  const std::uint64_t self = current_thread_id();
  for (;;) {
    {
      std::lock_guard lock(g_build_mutex);
      if (PyObject* module = g_module.load(std::memory_order_acquire)) {
        built = Ref::borrow(module);
        return false;
      }
      if (g_builder_thread == 0) {
        g_builder_thread = self;
        return true;
      }
      if (g_builder_thread == self) {
        raise(PyExc_ImportError, "norbe is being initialised by this thread already");
        return false;
      }
    }
    // Another thread builds: sleep, with the interpreter released, until it is done.
    Py_BEGIN_ALLOW_THREADS;
    {
      std::unique_lock lock(g_build_mutex);
      g_build_done.wait(lock, [] { return g_builder_thread == 0; });
    }
    Py_END_ALLOW_THREADS;
  }
}

Ref initialise() {
  if (!check_owning_interpreter()) return Ref();
#ifndef Py_GIL_DISABLED
  core::enable_node_pool();  // from here on every call into the module holds the interpreter lock
#endif
  if (PyObject* module = g_module.load(std::memory_order_acquire)) return Ref::borrow(module);
  // Made before anything else, so that no later failure finds it missing.
  if (panic_exception_type() == nullptr) return Ref();
  Ref built;
  if (!claim_build(built)) return built;
  struct Done {
    ~Done() {
      {
        std::lock_guard lock(g_build_mutex);
        g_builder_thread = 0;
      }
      g_build_done.notify_all();
    }
  } done;
  Ref module = build_module();
  if (module) g_module.store(Ref(module).release(), std::memory_order_release);
  return module;
}

}  // namespace
}  // namespace norbe

PyMODINIT_FUNC PyInit_norbe() {
  return norbe::barrier([] { return norbe::initialise(); });
}
