// The module frame: PyInit_norbe, the submodule tree and the two functions.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "core/platform.hpp"
#include "package/constraint/classes.hpp"
#include "package/constraint/if_then.hpp"
#include "package/outline.hpp"
#include "package/version.hpp"
#include "runtime/errors.hpp"
#include "runtime/log.hpp"
#include "runtime/stdout.hpp"
#include "runtime/threads.hpp"
#include "spec/spec_option.hpp"

namespace norbe {
namespace {

constexpr log::CallSite kTracingActivated{log::Level::Warn, "norbe", "src/lib", 100};

PyObject* main_entry(PyObject*, PyObject*) noexcept {
  return barrier<PyObject*>(nullptr, [] {
    std::string error = write_stdout("norbe entrypoint\n");
    if (!error.empty()) panic("failed printing to stdout: " + error);
    Py_RETURN_NONE;
  });
}

PyObject* init_tracing(PyObject*, PyObject*) noexcept {
  return barrier<PyObject*>(nullptr, [] {
    if (!log::install_sink(log::colour_from_environment())) {
      panic(
          "Failed to set subscriber: SetGlobalDefaultError(\"a global default trace dispatcher has already "
          "been "
          "set\")");
    }
    log::emit(kTracingActivated, "tracing activated");
    Py_RETURN_NONE;
  });
}

PyMethodDef g_init_tracing_def{"init_tracing", init_tracing, METH_NOARGS, "init_tracing()\n--\n\n"};
PyMethodDef g_main_entry_def{"main_entry", main_entry, METH_NOARGS, "main_entry()\n--\n\n"};

PyModuleDef g_module_def{PyModuleDef_HEAD_INIT, "norbe", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

// The interpreter that owns the module, and the module built for it.
std::atomic<std::int64_t> g_owner_interpreter{-1};
PyObject* g_module = nullptr;

enum BuildState : int { kNotBuilt, kBuilding };
std::atomic<int> g_build_state{kNotBuilt};
std::atomic<std::uint64_t> g_builder_thread{0};

std::string exception_debug_text(PyObject* exception) {
  auto repr_of = [](PyObject* object) {
    Ref text = Ref::steal(PyObject_Repr(object));
    const char* data = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (data == nullptr) PyErr_Clear();
    return std::string(data != nullptr ? data : "<unprintable>");
  };
  Ref traceback = Ref::steal(PyException_GetTraceback(exception));
  return "PyErr { type: " + repr_of(reinterpret_cast<PyObject*>(Py_TYPE(exception))) +
         ", value: " + repr_of(exception) + ", traceback: " + repr_of(traceback ? traceback.get() : Py_None) +
         " }";
}

// Appends the name to the module's __all__ (made on first use), then sets the attribute.
void attach(PyObject* module, const char* name, PyObject* value) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();
    all = check_new(PyList_New(0));
    check_status(PyObject_SetAttrString(module, "__all__", all.get()));
  }
  Ref text = check_new(PyUnicode_FromString(name));
  if (PyList_Append(all.get(), text.get()) < 0) {
    Ref error = take_pending_exception();
    panic("could not append __name__ to __all__: " + exception_debug_text(error.get()));
  }
  check_status(PyObject_SetAttrString(module, name, value));
}

void attach_class(PyObject* module, PyTypeObject* type, const char* name) {
  attach(module, name, reinterpret_cast<PyObject*>(type));
}

void register_submodule(PyObject* parent, PyObject* child, const char* dotted_name) {
  Ref name = check_new(PyObject_GetAttrString(child, "__name__"));
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name.get(), &size);
  if (text == nullptr) throw_python_error();
  attach(parent, text, child);
  Ref sys = check_new(PyImport_ImportModule("sys"));
  Ref modules = check_new(PyObject_GetAttrString(sys.get(), "modules"));
  check_status(PyObject_SetItem(modules.get(), check_new(PyUnicode_FromString(dotted_name)).get(), child));
}

void attach_function(PyObject* module, PyMethodDef* def) {
  Ref module_name = check_new(PyModule_GetNameObject(module));
  Ref function = check_new(PyCFunction_NewEx(def, module, module_name.get()));
  attach(module, def->ml_name, function.get());
}

Ref build_module() {
  Ref top = check_new(PyModule_Create2(&g_module_def, 1013));
  Ref package = check_new(PyModule_New("package"));

  Ref outline = check_new(PyModule_New("outline"));
  attach_class(outline.get(), PackageOutlineClass::type(), "PackageOutline");
  register_submodule(package.get(), outline.get(), "norbe.package.outline");

  Ref constraint = check_new(PyModule_New("constraint"));
  attach_class(constraint.get(), CmpClass::type(), "Cmp");
  attach_class(constraint.get(), CmpTypeClass::type(), "CmpType");
  attach_class(constraint.get(), DependsClass::type(), "Depends");
  attach_class(constraint.get(), IfThenClass::type(), "IfThen");
  attach_class(constraint.get(), MaximizeClass::type(), "Maximize");
  attach_class(constraint.get(), MinimizeClass::type(), "Minimize");
  attach_class(constraint.get(), NumOfClass::type(), "NumOf");
  attach_class(constraint.get(), SpecOptionClass::type(), "SpecOption");
  attach_class(constraint.get(), ValueClass::type(), "Value");
  register_submodule(package.get(), constraint.get(), "norbe.package.constraint");

  Ref version = check_new(PyModule_New("version"));
  attach_class(version.get(), VersionClass::type(), "Version");
  register_submodule(package.get(), version.get(), "norbe.package.version");

  register_submodule(top.get(), package.get(), "norbe.package");
  attach_function(top.get(), &g_init_tracing_def);
  attach_function(top.get(), &g_main_entry_def);
  return top;
}

void check_owning_interpreter() {
  const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current < 0) throw_python_error();
  std::int64_t expected = -1;
  if (g_owner_interpreter.compare_exchange_strong(expected, current) || expected == current) return;
  raise(PyExc_ImportError,
        "norbe does not support sub-interpreters yet: it can be imported by one interpreter per process only "
        "(see the project's issue tracker, \"sub-interpreter support\")");
}

// Waits, with the interpreter lock released, while another thread builds.
void wait_for_other_builder() {
  if (g_builder_thread.load() == current_thread_id()) {
    raise(PyExc_ImportError, "norbe is being initialised by this thread already");
  }
  Py_BEGIN_ALLOW_THREADS;
  while (g_build_state.load() == kBuilding) std::this_thread::yield();
  Py_END_ALLOW_THREADS;
}

Ref initialise() {
  check_owning_interpreter();
  for (;;) {
    if (g_module != nullptr) return Ref::borrow(g_module);
    int expected = kNotBuilt;
    if (g_build_state.compare_exchange_strong(expected, kBuilding)) break;
    wait_for_other_builder();
  }
  g_builder_thread.store(current_thread_id());
  struct Done {
    ~Done() {
      g_builder_thread.store(0);
      g_build_state.store(kNotBuilt);
    }
  } done;
  Ref module = build_module();
  g_module = Ref(module).release();
  return module;
}

}  // namespace
}  // namespace norbe

extern "C" NORBE_EXPORT PyObject* PyInit_norbe() {
  return norbe::barrier<PyObject*>(nullptr, [] { return norbe::initialise().release(); });
}
