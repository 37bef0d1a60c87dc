#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace tesrak_py {

// The alternative of tesrak::AnyDigest: its index is the dtype tag.
enum class ElementType : std::size_t { Float32 = 0, Int32 = 1 };

// The element type a constructor's `dtype` asks for: float32 for None (or
// null, when it was not given) or when str(dtype) contains "float32",
// otherwise int32 when it contains "int32". Anything else raises
// ValueError "cannot interpret <quoted text> as a dtype; supported:
// float32, int32". An exception from str(dtype) propagates unchanged.
ElementType choose_element_type(PyObject* dtype);

}  // namespace tesrak_py
