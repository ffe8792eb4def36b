// How failures travel inside the binding layer and how they leave it.
//
// Inside, failures are C++ exceptions: PythonError means "a Python exception
// is pending", Panic is an internal failure, std::bad_alloc is out of memory.
// Every entry from the interpreter runs inside barrier(), which turns each of
// them into a pending Python exception; nothing ever crosses into the
// interpreter as a C++ exception.
#pragma once

#include <Python.h>

#include <new>
#include <source_location>
#include <string>
#include <string_view>

#include "runtime/ref.hpp"

namespace norbe {

// A Python exception is pending (or should be: see barrier()).
struct PythonError {};

// An internal failure of the module's own code.
struct Panic {
  std::string message;
  std::source_location location;
};

[[noreturn]] void panic(std::string message, std::source_location location = std::source_location::current());
[[noreturn]] inline void throw_python_error() {
  throw PythonError{};
}

// Sets an exception of the given type with the given message and throws.
[[noreturn]] void raise(PyObject* type, std::string_view message);
[[noreturn]] void raise_object(Ref exception);

// Wrap interpreter calls: a null or negative result means a pending exception.
inline PyObject* check(PyObject* result) {
  if (result == nullptr) throw_python_error();
  return result;
}
inline Ref check_new(PyObject* result) {
  return Ref::steal(check(result));
}
inline int check_status(int result) {
  if (result < 0) throw_python_error();
  return result;
}

// Takes the pending exception out of the interpreter. With none pending it
// yields SystemError "attempted to fetch exception but none was set". An
// internal-failure exception coming back from Python code is reported and
// continued as a Panic with the same message: it is never swallowed.
Ref take_pending_exception();

// Clears the pending exception in order to try something else (the same
// rules as take_pending_exception apply to internal failures).
inline void discard_pending_exception() {
  (void)take_pending_exception();
}

// The process-wide internal-failure exception class, created on first need.
PyObject* panic_exception_type();

// SystemError "attempted to fetch exception but none was set".
void set_missing_exception() noexcept;

// Turns the exception in flight (caught by the barrier) into a pending Python
// exception. Returns nothing: the caller returns its failure value.
void set_error_from_current_exception() noexcept;

// Text of str(object) as UTF-8; "<unprintable>" style fallbacks are the caller's.
std::string str_of(PyObject* object);

// The failure barrier around every entry from the interpreter.
template <class Result, class Body>
Result barrier(Result failure, Body&& body) noexcept {
  try {
    return body();
  } catch (const PythonError&) {
    // The common failure: the exception is already pending (handled here so
    // that it costs no second throw).
    if (!PyErr_Occurred()) set_missing_exception();
    return failure;
  } catch (...) {
    set_error_from_current_exception();
    return failure;
  }
}

// The barrier for deallocation, where nothing may propagate: failures go to
// the interpreter's unraisable-exception hook.
template <class Body>
void barrier_unraisable(PyObject* object, Body&& body) noexcept {
  try {
    body();
  } catch (...) {
    set_error_from_current_exception();
    PyErr_WriteUnraisable(object);
  }
}

}  // namespace norbe
