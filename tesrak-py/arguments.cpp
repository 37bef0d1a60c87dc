#include "arguments.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "py_ref.hpp"

namespace tesrak_py {
namespace {

[[noreturn]] void raise_too_many_positional(const Signature& signature, Py_ssize_t given) {
  std::string message = std::string(signature.qualified_name) + "() takes ";
  if (signature.required == signature.names.size()) {
    message += std::to_string(signature.names.size());
  } else {
    message += "from " + std::to_string(signature.required) + " to " +
               std::to_string(signature.names.size());
  }
  // "arguments" even for one parameter, as the message has always read.
  message += " positional arguments but " + std::to_string(given) +
             (given == 1 ? " was given" : " were given");
  raise(PyExc_TypeError, message);
}

[[noreturn]] void raise_keyword_error(const Signature& signature, const char* what,
                                      PyObject* key) {
  PyErr_Format(PyExc_TypeError, PyUnicode_Check(key) ? "%s() %s '%U'" : "%s() %s '%S'",
               signature.qualified_name, what, key);
  throw PythonError();
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) {
      if (names.size() > 2) text += ',';
      text += i + 1 == names.size() ? " and " : " ";
    }
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

void check_required(const Signature& signature, std::span<PyObject*> out) {
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (out[i] == nullptr) missing.push_back(signature.names[i]);
  }
  if (missing.empty()) return;
  raise(PyExc_TypeError, std::string(signature.qualified_name) + "() missing " +
                             std::to_string(missing.size()) + " required positional " +
                             (missing.size() == 1 ? "argument" : "arguments") + ": " +
                             quoted_list(missing));
}

void bind_positional(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     std::span<PyObject*> out) {
  std::fill(out.begin(), out.end(), nullptr);
  if (static_cast<std::size_t>(nargs) > signature.names.size()) {
    raise_too_many_positional(signature, nargs);
  }
  std::copy_n(args, nargs, out.begin());
}

void bind_keyword(const Signature& signature, PyObject* key, PyObject* value,
                  std::span<PyObject*> out) {
  for (std::size_t i = 0; i < signature.names.size(); ++i) {
    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, signature.names[i]) == 0) {
      if (out[i] != nullptr) raise_keyword_error(signature, "got multiple values for argument", key);
      out[i] = value;
      return;
    }
  }
  raise_keyword_error(signature, "got an unexpected keyword argument", key);
}

}  // namespace

void bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, std::span<PyObject*> out) {
  bind_positional(signature, args, nargs, out);
  if (kwnames != nullptr) {
    const Py_ssize_t n_keywords = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n_keywords; ++k) {
      bind_keyword(signature, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out);
    }
  }
  check_required(signature, out);
}

void bind_tuple_dict(const Signature& signature, PyObject* args, PyObject* kwargs,
                     std::span<PyObject*> out) {
  bind_positional(signature, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), out);
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) bind_keyword(signature, key, value, out);
  }
  check_required(signature, out);
}

void prefix_type_error(const char* name) noexcept {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PendingError original = PendingError::fetch();
  if (original.type() != PyExc_TypeError) {  // a subclass passes unchanged
    original.restore();
    return;
  }
  PyObject* cause = PyException_GetCause(original.value());  // new reference or null
  PyErr_Format(PyExc_TypeError, "argument '%s': %S", name, original.value());
  if (cause != nullptr) {
    PendingError prefixed = PendingError::fetch();
    PyException_SetCause(prefixed.value(), cause);  // steals `cause`
    prefixed.restore();
  }
}

}  // namespace tesrak_py
