#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "tesrak/tensor_digest.hpp"

namespace tesrak_py {

// Feeds one tensor to the digest, taken from `data` by the first of these
// that applies:
// 1. the buffer protocol, for a buffer of exactly one 4-byte item of the
//    digest's element type in the host's byte order, at an aligned address;
// 2. a tensor object (data_ptr(), dtype, device.type, is_contiguous(),
//    numel()), read in place;
// 3. a sequence of numbers, converted element by element.
// Every failure happens before the engine is reached, so a failed call
// leaves the digest as it was; throws PythonError.
template <typename T>
void update_from_python(tesrak::TensorDigest<T>& digest, PyObject* data);

}  // namespace tesrak_py
