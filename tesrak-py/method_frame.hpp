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

// Binds the arguments, then runs body(object, arguments) while the object
// is held exclusively; throws what body throws.
template <typename Body>
PyObject* run_bound(const Signature& signature, PyObject* self, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, Body& body) {
  std::array<PyObject*, kMaxParameters> slots{};
  const std::span<PyObject*> bound(slots.data(), signature.names.size());
  bind_fastcall(signature, args, nargs, kwnames, bound);
  PyTensorDigest& object = as_tensor_digest(self);
  ExclusiveBorrow hold(object.borrow);
  return body(object, BoundArguments(bound));
}

// A METH_FASTCALL | METH_KEYWORDS method: body(object, arguments), the
// arguments in parameter order (borrowed).
template <typename Body>
PyObject* method_entry(const Signature& signature, PyObject* self, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames, Body&& body) noexcept {
  return guarded([&] { return run_bound(signature, self, args, nargs, kwnames, body); });
}

// As method_entry, for a method that may give up the interpreter lock and
// take it back (see guarded_unwindable).
template <typename Body>
PyObject* lock_releasing_method_entry(const Signature& signature, PyObject* self,
                                      PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                      Body&& body) {
  return guarded_unwindable(
      [&] { return run_bound(signature, self, args, nargs, kwnames, body); });
}

// Runs body(object) while `Hold` holds the object; throws what body throws.
template <typename Hold, typename Body>
PyObject* run_held(PyObject* self, Body& body) {
  PyTensorDigest& object = as_tensor_digest(self);
  Hold hold(object.borrow);
  return body(object);
}

// Runs body(object) while `Hold` holds the object.
template <typename Hold, typename Body>
PyObject* held_entry(PyObject* self, Body&& body) noexcept {
  return guarded([&] { return run_held<Hold>(self, body); });
}

// A METH_NOARGS method: body(object).
template <typename Body>
PyObject* method_entry(PyObject* self, Body&& body) noexcept {
  return held_entry<ExclusiveBorrow>(self, std::forward<Body>(body));
}

// A METH_NOARGS method that gives up the interpreter lock and takes it back,
// where the interpreter may end the thread at exit (see guarded_unwindable).
template <typename Body>
PyObject* lock_releasing_method_entry(PyObject* self, Body&& body) {
  return guarded_unwindable([&] { return run_held<ExclusiveBorrow>(self, body); });
}

// A read-only property: read(object), with the object shared with other
// property reads but not with a method.
template <typename Read>
PyObject* property_entry(PyObject* self, Read&& read) noexcept {
  return held_entry<SharedBorrow>(self, std::forward<Read>(read));
}

}  // namespace tesrak_py
