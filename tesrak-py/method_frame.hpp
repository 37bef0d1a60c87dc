#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <span>
#include <utility>

#include "arguments.hpp"
#include "borrow.hpp"
#include "errors.hpp"
#include "tensor_digest_object.hpp"

// The frame every instance method of TensorDigest runs in: bind the
// arguments, check the receiver, hold the object exclusively for the whole
// body (given back on every exit), and turn any failure into a Python
// exception. Properties run in a lighter frame that shares the object.
namespace tesrak_py {

inline constexpr std::size_t kMaxParameters = 3;

using BoundArguments = std::span<PyObject* const>;

// A METH_FASTCALL | METH_KEYWORDS method: body(object, arguments), the
// arguments in parameter order (borrowed).
template <typename Body>
PyObject* method_entry(const Signature& signature, PyObject* self, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames, Body&& body) noexcept {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, kMaxParameters> slots{};
    const std::span<PyObject*> bound(slots.data(), signature.names.size());
    bind_fastcall(signature, args, nargs, kwnames, bound);
    PyTensorDigest& object = as_tensor_digest(self);
    ExclusiveBorrow hold(object.borrow);
    return body(object, BoundArguments(bound));
  });
}

// Runs body(object) while `Hold` holds the object.
template <typename Hold, typename Body>
PyObject* held_entry(PyObject* self, Body&& body) noexcept {
  return guarded([&]() -> PyObject* {
    PyTensorDigest& object = as_tensor_digest(self);
    Hold hold(object.borrow);
    return body(object);
  });
}

// A METH_NOARGS method: body(object).
template <typename Body>
PyObject* method_entry(PyObject* self, Body&& body) noexcept {
  return held_entry<ExclusiveBorrow>(self, std::forward<Body>(body));
}

// A read-only property: read(object), with the object shared with other
// property reads but not with a method.
template <typename Read>
PyObject* property_entry(PyObject* self, Read&& read) noexcept {
  return held_entry<SharedBorrow>(self, std::forward<Read>(read));
}

}  // namespace tesrak_py
