#include "conversions.hpp"

#include <cmath>
#include <limits>
#include <string_view>

namespace tesrak_py {
namespace {

// A length reported by a sequence only reserves this many elements ahead;
// the vector grows past it as the elements really arrive.
constexpr std::size_t kMaxReservedElements = std::size_t{1} << 20;

// The smallest magnitude that rounds to infinity as a 32-bit float: the
// largest float plus half its unit in the last place (a tie, which goes to
// the even neighbour, infinity).
constexpr double kFloatOverflowThreshold = 0x1.ffffffp127;

// Round to nearest, ties to even, with out-of-range values made explicit
// rather than left to an undefined conversion.
float nearest_float(double value) {
  if (std::isnan(value)) return std::numeric_limits<float>::quiet_NaN();
  const double magnitude = std::fabs(value);
  if (magnitude > std::numeric_limits<float>::max()) {
    const float rounded = magnitude < kFloatOverflowThreshold
                              ? std::numeric_limits<float>::max()
                              : std::numeric_limits<float>::infinity();
    return std::signbit(value) ? -rounded : rounded;
  }
  return static_cast<float>(value);
}

}  // namespace

std::uint64_t to_u64(PyObject* value) {
  PyRef integer = PyLong_Check(value) ? PyRef::borrow(value) : checked(PyNumber_Index(value));
  const unsigned long long result = PyLong_AsUnsignedLongLong(integer.get());
  if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError();
  return result;
}

std::int32_t to_i32(PyObject* value) {
  const long result = PyLong_AsLong(value);
  if (result == -1 && PyErr_Occurred()) throw PythonError();
  if (result < std::numeric_limits<std::int32_t>::min() ||
      result > std::numeric_limits<std::int32_t>::max()) {
    raise(PyExc_OverflowError, "out of range integral type conversion attempted");
  }
  return static_cast<std::int32_t>(result);
}

float to_f32(PyObject* value) {
  double result;
  if (PyFloat_Check(value)) {
    result = PyFloat_AS_DOUBLE(value);
  } else {
    result = PyFloat_AsDouble(value);
    if (result == -1.0 && PyErr_Occurred()) throw PythonError();
  }
  return nearest_float(result);
}

bool to_bool(PyObject* value) {
  if (PyBool_Check(value)) return value == Py_True;
  // numpy's scalar is not a bool subclass; it is known by its type's name
  // ("numpy.bool" from numpy 2, "numpy.bool_" before) without importing numpy.
  const std::string_view type_name = Py_TYPE(value)->tp_name;
  if (type_name == "numpy.bool" || type_name == "numpy.bool_") {
    const int truth = PyObject_IsTrue(value);
    check_status(truth);
    return truth != 0;
  }
  raise_cast_error(value, "bool");
}

void raise_cast_error(PyObject* value, const char* expected) {
  PyRef name = checked(PyType_GetQualName(Py_TYPE(value)));
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be cast as '%s'", name.get(), expected);
  throw PythonError();
}

void require_sequence(PyObject* value) {
  if (PyUnicode_Check(value)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(value)) raise_cast_error(value, "Sequence");
}

std::size_t length_hint(PyObject* sequence) noexcept {
  const Py_ssize_t length = PySequence_Size(sequence);
  if (length < 0) {
    PyErr_Clear();
    return 0;
  }
  return std::min(static_cast<std::size_t>(length), kMaxReservedElements);
}

std::string to_path(PyObject* value) {
  if (!PyUnicode_Check(value)) raise_cast_error(value, "str");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
  if (utf8 == nullptr) throw PythonError();
  return std::string(utf8, static_cast<std::size_t>(size));
}

}  // namespace tesrak_py
