#include "runtime/errors.hpp"

#include "core/platform.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>

namespace norbe {
namespace {

PyObject* g_panic_type = nullptr;

constexpr const char* kPanicDoc =
    "The exception raised when the native code of the norbe module fails.\n\n"
    "Like SystemExit, this exception derives from BaseException so that it typically\n"
    "propagates all the way up the stack and ends the interpreter: `except Exception`\n"
    "does not catch it.";

// The report and the exception are made without C++ allocations, and a
// failure to make them leaves the interpreter's exception (MemoryError) set:
// running out of memory while reporting a failure must not end the process.

// The Python name of the current thread ("MainThread", "Thread-3 (worker)")
// when threading is in use; null otherwise. Leaves the error state as it was.
Ref python_thread_name() noexcept {
  PyObject* saved = PyErr_GetRaisedException();
  Ref name;
  Ref module_name = Ref::steal(PyUnicode_FromString("threading"));
  Ref threading = module_name ? Ref::steal(PyImport_GetModule(module_name.get())) : Ref();
  if (threading) {
    Ref thread = Ref::steal(PyObject_CallMethod(threading.get(), "current_thread", nullptr));
    if (thread) name = Ref::steal(PyObject_GetAttrString(thread.get(), "name"));
  }
  // Makes the name's UTF-8 form now, so that reading it later cannot fail.
  if (name && (!PyUnicode_Check(name.get()) || PyUnicode_AsUTF8(name.get()) == nullptr)) name = Ref();
  PyErr_Clear();
  PyErr_SetRaisedException(saved);
  return name;
}

void report_panic(const char* message, const std::source_location& location) noexcept {
  char thread[64] = {};
  core::current_thread_name(thread);
  Ref python_name = python_thread_name();
  const char* python_text = python_name ? PyUnicode_AsUTF8(python_name.get()) : nullptr;
  PySys_FormatStderr(
      "norbe: internal failure in thread '%s' at %s:%d:\n%s\n"
      "note: run the interpreter under a debugger (gdb -ex run --args python ...) and break on "
      "__cxa_throw to obtain a stack trace\n",
      python_text != nullptr ? python_text : thread, location.file_name(), static_cast<int>(location.line()),
      message);
}

void raise_panic(std::string_view message, const std::source_location& location) noexcept {
  // The report takes a NUL-terminated text; the exception keeps every byte.
  report_panic(message.data(), location);
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;
  Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (text) PyErr_SetObject(type, text.get());
}

[[noreturn]] void abort_at_boundary() {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace

void panic(std::string message, std::source_location location) {
  throw Panic{std::move(message), location};
}

void raise(PyObject* type, std::string_view message) {
  Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (text) PyErr_SetObject(type, text.get());
  throw PythonError{};
}

void raise_object(Ref exception) {
  PyErr_SetRaisedException(exception.release());
  throw PythonError{};
}

PyObject* panic_exception_type() {
  if (g_panic_type == nullptr) {
    g_panic_type =
        PyErr_NewExceptionWithDoc("norbe_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
  }
  return g_panic_type;
}

std::string str_of(PyObject* object) {
  Ref text = check_new(PyObject_Str(object));
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (data == nullptr) throw_python_error();
  return std::string(data, static_cast<std::size_t>(size));
}

Ref take_pending_exception() {
  Ref exception = Ref::steal(PyErr_GetRaisedException());
  if (!exception) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return Ref::steal(PyErr_GetRaisedException());
  }
  PyObject* panic_type = panic_exception_type();
  if (panic_type != nullptr &&
      PyObject_TypeCheck(exception.get(), reinterpret_cast<PyTypeObject*>(panic_type))) {
    // Python code handed our own internal failure back to us: show where it
    // went and continue it, so that it reaches the caller as a failure again.
    PySys_FormatStderr("norbe: resuming an internal failure raised from Python code:\n");
    PyErr_DisplayException(exception.get());
    std::string message = "internal failure";
    Ref args = Ref::steal(PyObject_GetAttrString(exception.get(), "args"));
    if (args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) > 0) {
      Ref text = Ref::steal(PyObject_Str(PyTuple_GET_ITEM(args.get(), 0)));
      const char* data = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
      if (data != nullptr) message = data;
    }
    PyErr_Clear();
    panic(std::move(message));
  }
  return exception;
}

void set_missing_exception() noexcept {
  PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
}

void set_error_from_current_exception() noexcept {
  try {
    try {
      throw;
    } catch (const PythonError&) {
      if (!PyErr_Occurred()) set_missing_exception();
    } catch (const Panic& failure) {
      raise_panic(failure.message, failure.location);
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const std::exception& error) {
      raise_panic(error.what(), std::source_location::current());
    } catch (...) {
      raise_panic("unknown C++ exception", std::source_location::current());
    }
  } catch (...) {
    abort_at_boundary();
  }
}

}  // namespace norbe
