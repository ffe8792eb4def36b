// How failures travel inside the binding layer and how they leave it.
//
// An ordinary Python error (a failed conversion, parse or argument match, a
// refused comparison, a borrow conflict) travels as a value: the callee sets
// the Python exception and returns an empty result (an empty Ref, an empty
// optional, false), and every caller passes that on by returning at once.
// Only what is truly exceptional is a C++ exception: an internal failure
// (Panic) and running out of memory (std::bad_alloc). Every entry from the
// interpreter runs inside barrier(), which turns both into a pending Python
// exception; nothing ever crosses into the interpreter as a C++ exception.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>

#include "core/platform.hpp"
#include "runtime/ref.hpp"

namespace norbe {

// An internal failure of the module's own code, or one raised by Python code
// that the module called and continues (`resumed`: that exception object;
// `message_known`: false when its message could not be read).
struct Panic {
  std::string message;
  std::source_location location;
  Ref resumed = {};
  bool message_known = true;
};

[[noreturn]] void panic(std::string message, std::source_location location = std::source_location::current());

// What a function returns once it has set a Python exception: converts to
// the empty result of any caller (an empty Ref or an empty optional), so that
// `return raise(...)` sets the exception and fails in one statement.
struct Failed {
  operator Ref() const noexcept { return Ref(); }
  template <class T>
  operator std::optional<T>() const noexcept {
    return std::nullopt;
  }
};

// Sets an exception of the given type with the given message.
Failed raise(PyObject* type, std::string_view message) noexcept;
Failed raise_object(Ref exception) noexcept;

// Sets a new exception of the given type with the message (a str) and the
// given cause (which may be null).
Failed raise_with_cause(PyObject* type, PyObject* message, Ref cause) noexcept;

// Takes the pending exception out of the interpreter (to wrap it). With none
// pending it yields SystemError "attempted to fetch exception but none was
// set". An internal-failure exception coming back from Python code is
// reported and continued as a Panic with the same message: it is never
// swallowed.
Ref take_pending_exception();

// Sets the pending exception aside in order to try something else; the same
// rule for internal failures applies. The one way to clear an exception on a
// conversion path.
void discard_pending_exception();

// The process-wide internal-failure exception class: made at module start-up
// (or on an earlier first need), published once; null with the exception set
// if it cannot be made.
PyObject* panic_exception_type();

// SystemError "attempted to fetch exception but none was set", when nothing is set.
void ensure_exception_set() noexcept;

// Turn a C++ exception caught by a barrier into a pending Python exception:
// PanicException with its report, MemoryError, or PanicException for any
// other C++ exception. A failure while doing so aborts the process.
void set_error(const Panic& failure) noexcept;
void set_error(const std::bad_alloc&) noexcept;
void set_error(const std::exception& error) noexcept;
void set_unknown_error() noexcept;

// Runs the body; a C++ exception becomes a pending Python exception and the
// result `failure`.
template <class Result, class Body>
NORBE_ALWAYS_INLINE Result guarded(Result failure, Body&& body) noexcept {
  try {
    return body();
  } catch (const Panic& error) {
    set_error(error);
  } catch (const std::bad_alloc& error) {
    set_error(error);
  } catch (const std::exception& error) {
    set_error(error);
  } catch (...) {
    set_unknown_error();
  }
  return failure;
}

// str(object) as UTF-8 text; empty with the exception set on failure.
std::optional<std::string> str_of(PyObject* object);

// The failure barrier around every entry from the interpreter: the body
// returns a Ref (empty: failed, with the exception set).
template <class Body>
NORBE_ALWAYS_INLINE PyObject* barrier(Body&& body) noexcept {
  return guarded<PyObject*>(nullptr, [&] {
    Ref result = body();
    if (!result) ensure_exception_set();
    return result.release();
  });
}

// The same for entries that report a status (setters): the body returns
// false when it failed, with the exception set; the entry returns 0 or -1.
template <class Body>
NORBE_ALWAYS_INLINE int barrier_status(Body&& body) noexcept {
  return guarded(-1, [&] {
    if (body()) return 0;
    ensure_exception_set();
    return -1;
  });
}

// The barrier for deallocation, where nothing may propagate: failures go to
// the interpreter's unraisable-exception hook.
template <class Body>
void barrier_unraisable(PyObject* object, Body&& body) noexcept {
  if (guarded(false, body)) return;
  ensure_exception_set();
  PyErr_WriteUnraisable(object);
}

}  // namespace norbe
