// Matching call arguments to parameters, and the errors of converting them.
// The tuple/dict form (tp_new) and the vectorcall form share one set of rules
// and messages.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "runtime/errors.hpp"

namespace norbe {

// A function's parameters. Its full name in messages is "<owner>.<function>()"
// ("Cmp.__new__()", "Cmp.if_then()"); its text signature is written from the
// same parts ("Cmp(lhs, rhs, op)").
struct Signature {
  const char* owner;     // the class name
  const char* function;  // "__new__" for a constructor
  std::span<const char* const> names;
  std::size_t required;  // the first `required` parameters have no default (the others: None)
  bool extra_keywords;   // collect unknown keywords instead of refusing them

  std::string full_name() const;
  // "Cmp(lhs, rhs, op)", "PackageOutline(name, constraints=None, ..., **kwargs)".
  std::string text_signature() const;
};

// A constructor's signature: its parameter names in order, the first
// `Required` of them required (all by default).
template <std::size_t N, std::size_t Required = N, bool ExtraKeywords = false>
struct Parameters {
  std::array<const char*, N> names;
  static constexpr std::size_t size() { return N; }
  constexpr Signature signature(const char* owner) const {
    return Signature{owner, "__new__", names, Required, ExtraKeywords};
  }
};

// The matched arguments: borrowed references, null where not given.
template <std::size_t N>
struct BoundArguments {
  std::array<PyObject*, N> values{};
  Ref extra;  // dict of unknown keywords, only if any was given
  PyObject* operator[](std::size_t i) const { return values[i]; }
};

// False with the TypeError set when the arguments do not match.
bool match_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, PyObject** slots,
                     Ref* extra);
bool match_arguments(const Signature& signature, PyObject* const* args, std::size_t nargsf, PyObject* kwnames,
                     PyObject** slots, Ref* extra);

// Fills `bound`; false with the TypeError set when the arguments do not match.
template <std::size_t N>
bool bind(const Signature& signature, PyObject* args, PyObject* kwargs, BoundArguments<N>& bound) {
  return match_arguments(signature, args, kwargs, bound.values.data(), &bound.extra);
}
template <std::size_t N>
bool bind(const Signature& signature, PyObject* const* args, std::size_t nargsf, PyObject* kwnames,
          BoundArguments<N>& bound) {
  const auto count = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  if (kwnames == nullptr && count <= N && count >= signature.required) {
    // Positional arguments only, as many as the parameters take: nothing to match.
    for (std::size_t i = 0; i < count; ++i) bound.values[i] = args[i];
    return true;
  }
  return match_arguments(signature, args, nargsf, kwnames, bound.values.data(), &bound.extra);
}

// Rewrites a pending exact TypeError as "argument '<name>': <message>", keeping
// its __cause__; any other pending exception is left as it is.
void prefix_argument_error(const char* name);

// Runs one argument's (or property value's) conversion under that name: an
// empty result (the exception set) leaves with the argument prefix.
template <class Convert>
auto convert_argument(const char* name, Convert&& convert) -> decltype(convert()) {
  auto result = convert();
  if (!result) prefix_argument_error(name);
  return result;
}

// TypeError "'<type>' object cannot be cast as '<expected>'".
Failed raise_type_mismatch(PyObject* value, std::string_view expected);

// The qualified name of the object's type, or "<failed to extract type name>".
std::string type_qualname(PyObject* object);

// A str (or subclass) as UTF-8; other types are a type mismatch against 'str'.
// The view points into the string's cached UTF-8 form and lives as long as it.
std::optional<std::string_view> utf8_view_of_str(PyObject* object);
// The text of a compact ASCII str (its own UTF-8 form), which lies right
// after the object's header; the caller has checked PyUnicode_IS_COMPACT_ASCII.
inline std::string_view compact_ascii_view(PyObject* object) noexcept {
  auto* ascii = reinterpret_cast<PyASCIIObject*>(object);
  return {reinterpret_cast<const char*>(ascii + 1), static_cast<std::size_t>(ascii->length)};
}
inline std::optional<std::string_view> utf8_view(PyObject* object) {
  if (!PyUnicode_Check(object)) return raise_type_mismatch(object, "str");
  if (PyUnicode_IS_COMPACT_ASCII(object)) return compact_ascii_view(object);
  return utf8_view_of_str(object);
}
inline std::optional<std::string> string_from_object(PyObject* object) {
  auto view = utf8_view(object);
  if (!view) return std::nullopt;
  return std::optional<std::string>(std::in_place, view->data(), view->size());
}

}  // namespace norbe
