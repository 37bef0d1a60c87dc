// Placeholder until the binding lands.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "tesrak", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_tesrak() { return PyModule_Create(&kModule); }
