#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "errors.hpp"
#include "py_ref.hpp"

// Conversions of Python values to the engine's types. Each throws
// PythonError with the interpreter's exception set when the value does not
// convert; none adds the "argument '...'" prefix (see convert_argument).
namespace tesrak_py {

// An int (or int subclass such as bool) read directly; anything else first
// through its integer index. Negative or too large: OverflowError.
std::uint64_t to_u64(PyObject* value);

// A signed 32-bit integer through the value's integer index; outside the
// range: OverflowError "out of range integral type conversion attempted".
std::int32_t to_i32(PyObject* value);

// A real number rounded to the nearest 32-bit float (ties to even; beyond
// the range: an infinity of its sign).
float to_f32(PyObject* value);

// Converts one element to the engine's element type T (float or int32).
template <typename T>
T to_element(PyObject* value);
template <>
inline float to_element<float>(PyObject* value) { return to_f32(value); }
template <>
inline std::int32_t to_element<std::int32_t>(PyObject* value) { return to_i32(value); }
template <>
inline std::uint64_t to_element<std::uint64_t>(PyObject* value) { return to_u64(value); }

// The interpreter's bool, or numpy's boolean scalar; anything else is
// refused with the cast message for 'bool'.
bool to_bool(PyObject* value);

// TypeError "'<type of value>' object cannot be cast as '<expected>'".
[[noreturn]] void raise_cast_error(PyObject* value, const char* expected);

// Refuses a str (TypeError "Can't extract `str` to `Vec`") and anything that
// is not a sequence (the cast message for 'Sequence').
void require_sequence(PyObject* value);

// The object's length as a size hint only: 0 when it has none.
std::size_t length_hint(PyObject* sequence) noexcept;

// A sequence of numbers, element by element in iteration order; the first
// element that fails to convert ends the conversion with its error.
template <typename T>
std::vector<T> to_vector(PyObject* sequence) {
  require_sequence(sequence);
  std::vector<T> values;
  values.reserve(length_hint(sequence));
  PyRef iterator = checked(PyObject_GetIter(sequence));
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    values.push_back(to_element<T>(item.get()));
  }
  if (PyErr_Occurred()) throw PythonError();
  return values;
}

// The UTF-8 bytes of a str (or str subclass) used as a file path: anything
// else is refused with the cast message for 'str'; lone surrogates raise
// UnicodeEncodeError.
std::string to_path(PyObject* value);

}  // namespace tesrak_py
