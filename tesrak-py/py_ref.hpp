#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include "errors.hpp"

namespace tesrak_py {

// One owned reference to a Python object (or none). Dropping it releases the
// reference, so every early exit gives back what it took.
class PyRef {
 public:
  PyRef() noexcept = default;
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : object_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef(std::move(other)).swap(*this);
    return *this;
  }
  ~PyRef() { Py_XDECREF(object_); }

  // Takes over a new reference, which may be null.
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  // Adds a reference of its own to a borrowed one.
  static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }

  // Hands the reference to the caller, leaving this empty.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }

  void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}

  PyObject* object_ = nullptr;
};

// Takes over the result of an interpreter call that returns a new reference,
// or throws PythonError when the call failed (returned null).
inline PyRef checked(PyObject* result) {
  if (result == nullptr) throw PythonError();
  return PyRef::steal(result);
}

// Throws PythonError when an interpreter call returned its failure status.
inline void check_status(int status) {
  if (status < 0) throw PythonError();
}

}  // namespace tesrak_py
