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
// save, load and visualize are not noexcept: they give up the interpreter
// lock (save and load only while a pipe keeps them waiting), so the
// interpreter may end their thread while they run (at exit, in a daemon
// thread), and that forced unwinding must pass through them.
PyObject* save_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Static: `self` is null.
PyObject* load_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* visualize_method(PyObject* self, PyObject* unused);

}  // namespace tesrak_py
