#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <span>

#include "py_ref.hpp"
#include "tesrak/distribution.hpp"

// Engine results turned into new Python lists. Each throws PythonError when
// an object cannot be made; nothing half-built is left behind.
namespace tesrak_py {

// A list of `size` items, item i being the new reference build(i) returns
// (build throws instead of returning null).
template <typename Build>
PyObject* build_list(std::size_t size, Build&& build) {
  PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(size)));
  for (std::size_t i = 0; i < size; ++i) {
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), build(i));
  }
  return list.release();
}

// Floats holding the exact widening of each 32-bit value.
PyObject* float_list(std::span<const float> values);

// Non-negative ints.
PyObject* int_list(std::span<const std::uint64_t> values);

// The label of each family, as str.
PyObject* label_list(std::span<const tesrak::Distribution> families);

}  // namespace tesrak_py
