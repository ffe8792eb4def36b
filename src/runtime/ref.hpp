// Owned references. This is the only place that drops references by hand:
// everything else holds a Ref and lets it go out of scope.
#pragma once

#include <Python.h>

#include <string_view>
#include <utility>

namespace norbe {

class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref& other) noexcept : ptr_(Py_XNewRef(other.ptr_)) {}
  Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(ptr_, other.ptr_);
    return *this;
  }
  ~Ref() { Py_XDECREF(ptr_); }

  // Takes over a reference the caller owns (a "new reference" result).
  static Ref steal(PyObject* object) noexcept { return Ref(object); }
  // Adds a reference to a borrowed object.
  static Ref borrow(PyObject* object) noexcept { return Ref(Py_XNewRef(object)); }

  PyObject* get() const noexcept { return ptr_; }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }
  // Hands the reference to the caller (for results returned to the interpreter).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }

 private:
  explicit Ref(PyObject* object) noexcept : ptr_(object) {}
  PyObject* ptr_ = nullptr;
};

// A new str holding the UTF-8 text; empty with the exception set on failure.
inline Ref string_to_object(std::string_view text) noexcept {
  return Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace norbe
