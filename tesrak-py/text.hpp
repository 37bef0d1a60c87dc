#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>

// Python str values turned into the UTF-8 text of messages and checks.
namespace tesrak_py {

// The UTF-8 text of a str, with every lone surrogate replaced by U+FFFD.
std::string lossy_text(PyObject* text);

// The text of str(value), as lossy_text gives it; an exception raised by
// str() propagates (PythonError).
std::string str_text(PyObject* value);

// The text of a str in double quotes, as messages quote a user's text:
// \, ", tab, CR, LF and NUL escaped; every other unprintable or combining
// character written as \u{hex}; lone surrogates as U+FFFD.
std::string quoted(PyObject* text);

}  // namespace tesrak_py
