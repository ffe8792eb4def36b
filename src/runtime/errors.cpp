#include "runtime/errors.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "core/platform.hpp"

namespace norbe {
namespace {

// Made at module start-up (and, should a failure come first, on that first
// need), published once by compare-and-swap and then only read: a
// free-threaded interpreter reads it from any thread.
std::atomic<PyObject*> g_panic_type{nullptr};

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
  Ref module_name = string_to_object("threading");
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

void raise_panic(std::string_view message, const std::source_location& location) {
  // The report takes a NUL-terminated text; the exception keeps every byte.
  report_panic(message.data(), location);
  PyObject* type = panic_exception_type();
  if (type == nullptr) return;
  Ref text = string_to_object(message);
  if (text) PyErr_SetObject(type, text.get());
}

// A failure resumed from Python code goes on as a new exception with its
// message; where the message cannot be read or the new exception cannot be
// made (memory ran out), the original exception object goes on as it is.
void raise_resumed(const Panic& failure) {
  if (failure.message_known) {
    raise_panic(failure.message, failure.location);
    PyObject* type = g_panic_type.load(std::memory_order_acquire);
    if (type != nullptr && PyErr_ExceptionMatches(type)) return;
  } else {
    report_panic(failure.message.c_str(), failure.location);
  }
  PyErr_Clear();
  PyErr_SetRaisedException(Ref(failure.resumed).release());
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

Failed raise(PyObject* type, std::string_view message) noexcept {
  Ref text = string_to_object(message);
  if (text) PyErr_SetObject(type, text.get());
  return {};
}

Failed raise_object(Ref exception) noexcept {
  PyErr_SetRaisedException(exception.release());
  return {};
}

Failed raise_with_cause(PyObject* type, PyObject* message, Ref cause) noexcept {
  Ref error = Ref::steal(PyObject_CallOneArg(type, message));
  if (!error) return {};
  PyException_SetCause(error.get(), cause.release());
  return raise_object(std::move(error));
}

PyObject* panic_exception_type() {
  if (PyObject* published = g_panic_type.load(std::memory_order_acquire)) return published;
  Ref made = Ref::steal(
      PyErr_NewExceptionWithDoc("norbe_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr));
  if (!made) return nullptr;
  PyObject* expected = nullptr;
  if (g_panic_type.compare_exchange_strong(expected, made.get(), std::memory_order_acq_rel))
    return made.release();
  return expected;  // two threads made one at once: the first published is the class
}

std::optional<std::string> str_of(PyObject* object) {
  Ref text = Ref::steal(PyObject_Str(object));
  if (!text) return std::nullopt;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (data == nullptr) return std::nullopt;
  return std::string(data, static_cast<std::size_t>(size));
}

namespace {

// The message of an internal-failure exception: str() of its first argument,
// read without allocating where that is a str already.
std::optional<std::string> panic_message(PyObject* exception) {
  Ref args = Ref::steal(PyException_GetArgs(exception));
  if (!args || !PyTuple_Check(args.get()) || PyTuple_GET_SIZE(args.get()) == 0) return std::nullopt;
  PyObject* first = PyTuple_GET_ITEM(args.get(), 0);
  Ref text = PyUnicode_Check(first) ? Ref::borrow(first) : Ref::steal(PyObject_Str(first));
  if (!text || !PyUnicode_Check(text.get())) return std::nullopt;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (data == nullptr) return std::nullopt;
  return std::string(data, static_cast<std::size_t>(size));
}

// The traceback and the "<type>: <message>" line of the exception on
// sys.stderr, written by the interpreter's C printers alone (its Python-level
// display may itself crash when memory runs out); what cannot be written is
// left out.
void display_exception(PyObject* exception) noexcept {
  Ref file = Ref::borrow(PySys_GetObject("stderr"));
  if (!file || file.get() == Py_None) return;
  Ref traceback = Ref::steal(PyException_GetTraceback(exception));
  if (traceback && PyTraceBack_Print(traceback.get(), file.get()) < 0) PyErr_Clear();
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
  Ref module = Ref::steal(PyObject_GetAttrString(type, "__module__"));
  if (module && PyUnicode_Check(module.get())) {
    if (PyFile_WriteObject(module.get(), file.get(), Py_PRINT_RAW) < 0 ||
        PyFile_WriteString(".", file.get()) < 0)
      PyErr_Clear();
  }
  PyErr_Clear();
  if (PyFile_WriteString(Py_TYPE(exception)->tp_name, file.get()) < 0 ||
      PyFile_WriteString(": ", file.get()) < 0 ||
      PyFile_WriteObject(exception, file.get(), Py_PRINT_RAW) < 0 || PyFile_WriteString("\n", file.get()) < 0)
    PyErr_Clear();
}

// Continues an internal-failure exception that Python code handed back to
// us: shows where it went, then fails again with its message.
[[noreturn]] void resume_panic(Ref exception) {
  PySys_FormatStderr("norbe: resuming an internal failure raised from Python code:\n");
  display_exception(exception.get());
  std::optional<std::string> message = panic_message(exception.get());
  PyErr_Clear();
  const bool known = message.has_value();
  throw Panic{known ? std::move(*message) : std::string("<the message cannot be read>"),
              std::source_location::current(), std::move(exception), known};
}

bool is_panic(PyObject* exception) noexcept {
  // Until the class exists no exception can be one of it.
  PyObject* type = g_panic_type.load(std::memory_order_acquire);
  return type != nullptr && PyObject_TypeCheck(exception, reinterpret_cast<PyTypeObject*>(type));
}

}  // namespace

Ref take_pending_exception() {
  Ref exception = Ref::steal(PyErr_GetRaisedException());
  if (!exception) {
    ensure_exception_set();
    return Ref::steal(PyErr_GetRaisedException());
  }
  if (is_panic(exception.get())) resume_panic(std::move(exception));
  return exception;
}

void discard_pending_exception() {
  (void)take_pending_exception();
}

void ensure_exception_set() noexcept {
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
}

// Each of these runs while a failure is being turned into an exception: a
// failure of its own ends the process.
void set_error(const Panic& failure) noexcept {
  try {
    if (failure.resumed) {
      raise_resumed(failure);
    } else {
      raise_panic(failure.message, failure.location);
    }
  } catch (...) {
    abort_at_boundary();
  }
}

void set_error(const std::bad_alloc&) noexcept {
  PyErr_NoMemory();
}

void set_error(const std::exception& error) noexcept {
  try {
    raise_panic(error.what(), std::source_location::current());
  } catch (...) {
    abort_at_boundary();
  }
}

void set_unknown_error() noexcept {
  try {
    raise_panic("unknown C++ exception", std::source_location::current());
  } catch (...) {
    abort_at_boundary();
  }
}

}  // namespace norbe
