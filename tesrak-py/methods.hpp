#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// The entries of TensorDigest's method table, as the interpreter calls
// them: fast calls (array of arguments plus keyword names) and no-argument
// calls. Each returns a new reference, or null with an exception set.
namespace tesrak_py {

PyObject* update_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept;
PyObject* flush_method(PyObject* self, PyObject* unused) noexcept;
PyObject* quantile_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept;
PyObject* quantiles_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) noexcept;
PyObject* cell_quantiles_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept;
PyObject* analyze_method(PyObject* self, PyObject* unused) noexcept;
PyObject* merge_cells_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) noexcept;
PyObject* merge_channels_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept;
PyObject* merge_all_method(PyObject* self, PyObject* unused) noexcept;
PyObject* save_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept;
// Static: `self` is null.
PyObject* load_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept;
// Not noexcept: the interpreter may end its thread while it runs (at exit,
// in a daemon thread), and that forced unwinding must pass through it.
PyObject* visualize_method(PyObject* self, PyObject* unused);

}  // namespace tesrak_py
