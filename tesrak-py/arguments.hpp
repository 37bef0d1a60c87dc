#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <initializer_list>
#include <span>

#include "errors.hpp"

namespace tesrak_py {

// The parameters of one function: every one may be given by position or by
// keyword; the first `required` ones must be given, the rest default to
// absent (null).
struct Signature {
  const char* qualified_name;  // "TensorDigest.update", for the messages
  std::span<const char* const> names;
  std::size_t required;
};

// Binds a fast call's arguments (`nargs` positional values followed by the
// values of `kwnames`) to `out`, one slot per parameter (borrowed
// references; null when an optional one is absent). Throws PythonError with
// the interpreter's usual TypeError texts on a surplus positional argument,
// a repeated or unknown keyword, or a missing required argument.
void bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, std::span<PyObject*> out);

// The same for a call made with an argument tuple and a keyword dictionary
// (which may be null).
void bind_tuple_dict(const Signature& signature, PyObject* args, PyObject* kwargs,
                     std::span<PyObject*> out);

// Rewrites a pending exact TypeError as "argument '<name>': <message>",
// keeping its cause. Leaves any other pending exception as it is.
void prefix_type_error(const char* name) noexcept;

// Runs `convert`, a conversion of the parameter `name`. A TypeError it
// raises (exactly TypeError, not a subclass) gets the prefix
// "argument '<name>': "; other errors pass through unchanged.
template <typename Convert>
auto convert_argument(const char* name, Convert&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const PythonError&) {
    prefix_type_error(name);
    throw;
  }
}

}  // namespace tesrak_py
