#include "errors.hpp"

#include <exception>
#include <new>
#include <string>
#include <utility>

#include "tesrak/errors.hpp"

namespace tesrak_py {
namespace {

constexpr const char* kPanicName = "pyo3_runtime.PanicException";
constexpr const char* kPanicDoc =
    "Raised when the native code behind a call fails.\n\n"
    "It derives from BaseException, not Exception, so that like SystemExit it\n"
    "normally propagates to the top level instead of being caught by a plain\n"
    "`except Exception`.";

// The runtime-failure type, made at the first failure and kept for the
// life of the process. Null, with the interpreter's error set, when it
// cannot be made.
PyObject* panic_exception_type() noexcept {
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
  }
  return type;
}

// `type(text)`, with text taken as UTF-8 (invalid bytes replaced, so the
// error itself never fails on a message).
void set_error(PyObject* type, std::string_view text) noexcept {
  PyObject* message =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (message == nullptr) return;  // MemoryError is set
  PyErr_SetObject(type, message);
  Py_DECREF(message);
}

void set_panic(std::string_view message) noexcept {
  if (PyObject* type = panic_exception_type()) set_error(type, message);
}

}  // namespace

void raise(PyObject* type, std::string_view message) {
  set_error(type, message);
  throw PythonError();
}

PendingError::PendingError(PendingError&& other) noexcept
    :
#if PY_VERSION_HEX < 0x030C0000
      type_(std::exchange(other.type_, nullptr)),
      traceback_(std::exchange(other.traceback_, nullptr)),
#endif
      value_(std::exchange(other.value_, nullptr)) {
}

PendingError& PendingError::operator=(PendingError&& other) noexcept {
  PendingError taken(std::move(other));
#if PY_VERSION_HEX < 0x030C0000
  std::swap(type_, taken.type_);
  std::swap(traceback_, taken.traceback_);
#endif
  std::swap(value_, taken.value_);
  return *this;
}

PendingError::~PendingError() {
#if PY_VERSION_HEX < 0x030C0000
  Py_XDECREF(type_);
  Py_XDECREF(traceback_);
#endif
  Py_XDECREF(value_);
}

PendingError PendingError::fetch() noexcept {
  PendingError error;
#if PY_VERSION_HEX >= 0x030C0000
  error.value_ = PyErr_GetRaisedException();
#else
  PyErr_Fetch(&error.type_, &error.value_, &error.traceback_);
  if (error.type_ != nullptr) {
    PyErr_NormalizeException(&error.type_, &error.value_, &error.traceback_);
    if (error.traceback_ != nullptr && error.value_ != nullptr) {
      PyException_SetTraceback(error.value_, error.traceback_);
    }
  }
#endif
  return error;
}

PyObject* PendingError::type() const noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return value_ == nullptr ? nullptr : reinterpret_cast<PyObject*>(Py_TYPE(value_));
#else
  return type_;
#endif
}

void PendingError::restore() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(std::exchange(value_, nullptr));
#else
  PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr),
                std::exchange(traceback_, nullptr));
#endif
}

void set_python_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonError&) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
  } catch (const tesrak::IoError& error) {
    // OSError itself, never a subclass picked by errno: one argument only.
    set_error(PyExc_OSError, error.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    set_panic(error.what());
  } catch (...) {
    set_panic("unknown native failure");
  }
}

}  // namespace tesrak_py
