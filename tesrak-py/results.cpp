#include "results.hpp"

namespace tesrak_py {

PyObject* float_list(std::span<const float> values) {
  return build_list(values.size(), [&](std::size_t i) {
    return checked(PyFloat_FromDouble(static_cast<double>(values[i]))).release();
  });
}

PyObject* int_list(std::span<const std::uint64_t> values) {
  return build_list(values.size(), [&](std::size_t i) {
    return checked(PyLong_FromUnsignedLongLong(values[i])).release();
  });
}

PyObject* label_list(std::span<const tesrak::Distribution> families) {
  return build_list(families.size(), [&](std::size_t i) {
    const std::string_view label = tesrak::label(families[i]);
    return checked(PyUnicode_FromStringAndSize(label.data(), static_cast<Py_ssize_t>(label.size())))
        .release();
  });
}

}  // namespace tesrak_py
