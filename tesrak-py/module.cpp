// The extension module `tesrak`: single-phase initialisation, one class.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdlib>

#include "errors.hpp"
#include "py_ref.hpp"
#include "server_thread.hpp"
#include "tensor_digest_object.hpp"

namespace tesrak_py {
namespace {

// The C API version the module is built against (PYTHON_API_VERSION).
constexpr int kApiVersion = 1013;
constexpr std::int64_t kNoInterpreter = -1;

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tesrak",
    "",  // an empty docstring, not None
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The digests and the type are shared process-wide state, so the module
// lives in one interpreter only.
void refuse_second_interpreter() {
  static std::int64_t first_interpreter = kNoInterpreter;
  const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1 && PyErr_Occurred()) throw PythonError();
  if (first_interpreter == kNoInterpreter) first_interpreter = current;
  if (current != first_interpreter) {
    raise(PyExc_ImportError,
          "tesrak cannot be imported in a sub-interpreter: sub-interpreters are not supported");
  }
}

void add_class(PyObject* module) {
  PyTypeObject* type = tensor_digest_type();
  if (type == nullptr) throw PythonError();

  PyRef names = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!names) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError();
    PyErr_Clear();
    names = checked(PyList_New(0));
    check_status(PyObject_SetAttrString(module, "__all__", names.get()));
  }
  if (!PyList_Check(names.get())) raise(PyExc_TypeError, "`__all__` must be a list");
  check_status(PyList_Append(names.get(), checked(PyUnicode_FromString("TensorDigest")).get()));
  check_status(PyObject_SetAttrString(module, "TensorDigest", reinterpret_cast<PyObject*>(type)));
}

// Visualizer threads still running when the interpreter exits (served from
// daemon threads) are stopped and joined before the process's static state
// goes: the interpreter's own clean-up hooks run ahead of exit(), and a C
// hook stands in should all of theirs be taken. A child made by fork()
// forgets its parent's threads.
void register_server_shutdown() {
  if (!watch_servers_at_fork()) {
    raise(PyExc_ImportError, "tesrak cannot register its clean-up at fork");
  }
  if (Py_AtExit(stop_servers_at_exit) != 0 && std::atexit(stop_servers_at_exit) != 0) {
    raise(PyExc_ImportError, "tesrak cannot register its clean-up at exit");
  }
}

PyObject* build_module() {
  static PyObject* module = nullptr;  // kept for the life of the process
  refuse_second_interpreter();
  if (module != nullptr) return Py_NewRef(module);
  PyRef created = checked(PyModule_Create2(&module_definition, kApiVersion));
  add_class(created.get());
  register_server_shutdown();
  module = Py_NewRef(created.get());
  return created.release();
}

}  // namespace
}  // namespace tesrak_py

PyMODINIT_FUNC PyInit_tesrak() {
  return tesrak_py::guarded([] { return tesrak_py::build_module(); });
}
