#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <string_view>
#include <utility>

namespace tesrak_py {

// Thrown when a Python exception has been set and the current entry must
// return its failure value. The exception itself stays in the interpreter.
struct PythonError {};

// Sets `type(message)` as the current Python exception and throws
// PythonError.
[[noreturn]] void raise(PyObject* type, std::string_view message);

// A Python exception taken out of the interpreter's error indicator, to be
// put back later (possibly after the interpreter lock was given up and
// taken again). Owns its references; dropping it discards the exception.
class PendingError {
 public:
  PendingError() noexcept = default;
  PendingError(const PendingError&) = delete;
  PendingError& operator=(const PendingError&) = delete;
  PendingError(PendingError&& other) noexcept;
  PendingError& operator=(PendingError&& other) noexcept;
  ~PendingError();

  // Takes the current exception (there may be none).
  static PendingError fetch() noexcept;

  explicit operator bool() const noexcept { return value_ != nullptr; }

  // The exception's type (borrowed); null when there is none.
  PyObject* type() const noexcept;
  // The exception instance (borrowed); null when there is none.
  PyObject* value() const noexcept { return value_; }

  // Sets the exception as the current one again; this becomes empty.
  void restore() noexcept;

 private:
#if PY_VERSION_HEX < 0x030C0000
  PyObject* type_ = nullptr;
  PyObject* traceback_ = nullptr;
#endif
  PyObject* value_ = nullptr;
};

// Turns the exception being handled (call only inside a catch block) into
// the current Python exception:
// - PythonError: the exception already set (SystemError if none is);
// - tesrak::IoError: OSError itself with the message as its one argument;
// - std::bad_alloc: MemoryError;
// - any other exception: PanicException with its message.
void set_python_error_from_current_exception() noexcept;

// As guarded (below), for an entry point that gives up the interpreter lock
// and takes it back. At exit the interpreter ends a daemon thread that tries
// to take the lock with pthread_exit, whose forced unwinding must run on
// through the interpreter's frames: swallowing it, or meeting a noexcept
// frame on the way, aborts the process. So this passes it on, and the entry
// point and every frame between it and the lock must not be noexcept.
template <typename Body>
PyObject* guarded_unwindable(Body&& body) {
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    set_python_error_from_current_exception();
    return nullptr;
  }
}

// Runs `body`, which returns a new reference or throws, and converts what it
// throws into a Python exception and a null result. Every entry point the
// interpreter calls goes through this, so no C++ exception crosses into it.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
  return guarded_unwindable(std::forward<Body>(body));
}

}  // namespace tesrak_py
