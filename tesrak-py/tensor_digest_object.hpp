#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <variant>

#include "borrow.hpp"
#include "tesrak/tensor_digest.hpp"

namespace tesrak_py {

// The Python object behind a TensorDigest: it owns one digest of either
// element type (the variant's index is the dtype tag, fixed for life) and
// the borrow state that lets one call at a time use it.
struct PyTensorDigest {
  PyObject_HEAD
  tesrak::AnyDigest* digest;
  BorrowState borrow;
};

// The TensorDigest type: built by the first call, then the same object for
// the life of the process. Null, with an exception set, when it cannot be
// built.
PyTypeObject* tensor_digest_type() noexcept;

// A new TensorDigest object owning `digest`. Throws PythonError (the
// digest is then freed) when the object cannot be allocated.
PyObject* new_tensor_digest(std::unique_ptr<tesrak::AnyDigest> digest);
PyObject* new_tensor_digest(tesrak::AnyDigest&& digest);

// `self` as a TensorDigest object, or TypeError with the cast message.
PyTensorDigest& as_tensor_digest(PyObject* self);

// Runs `body(digest)` with the digest of its own element type while the
// caller holds the object.
template <typename Body>
decltype(auto) visit_digest(PyTensorDigest& object, Body&& body) {
  return std::visit(std::forward<Body>(body), *object.digest);
}

}  // namespace tesrak_py
