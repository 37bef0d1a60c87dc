#include "dtype_choice.hpp"

#include <string>

#include "errors.hpp"
#include "py_ref.hpp"
#include "text.hpp"

namespace tesrak_py {

ElementType choose_element_type(PyObject* dtype) {
  if (dtype == nullptr || dtype == Py_None) return ElementType::Float32;
  PyRef text = checked(PyObject_Str(dtype));
  // Tested in this order, so a text holding both names is float32.
  const std::string utf8 = lossy_text(text.get());
  if (utf8.find("float32") != std::string::npos) return ElementType::Float32;
  if (utf8.find("int32") != std::string::npos) return ElementType::Int32;
  raise(PyExc_ValueError,
        "cannot interpret " + quoted(text.get()) + " as a dtype; supported: float32, int32");
}

}  // namespace tesrak_py
