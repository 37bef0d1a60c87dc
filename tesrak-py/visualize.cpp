#include <cxxabi.h>

#include <chrono>
#include <exception>
#include <thread>

#include "errors.hpp"
#include "method_frame.hpp"
#include "methods.hpp"
#include "server_thread.hpp"
#include "tesrak/server.hpp"

namespace tesrak_py {
namespace {

// How often the calling thread looks at the server thread and at pending
// Python signals while the server runs.
constexpr std::chrono::milliseconds kPollInterval{50};

// Takes the interpreter lock back only for one signal check, with the
// thread state this thread gave it up with, and gives it up again. A
// handler that raises leaves its exception fetched here, taken out under
// the lock. At exit the interpreter ends this thread right here, by forced
// unwinding; a fresh thread state (PyGILState_Ensure) would instead be made
// for an interpreter that may already be gone.
PendingError check_signals(PyThreadState*& thread_state) {
  PyEval_RestoreThread(thread_state);
  PendingError raised;
  if (PyErr_CheckSignals() < 0) raised = PendingError::fetch();
  thread_state = PyEval_SaveThread();
  return raised;
}

// Runs the server until it ends by itself or a signal handler raises. The
// server thread is always joined before this returns, also when the
// interpreter ends this thread at exit. Returns the signal's exception, or
// nothing when the server ended by itself; rethrows the server's failure.
// Called with the interpreter lock given up, as `thread_state`.
template <typename T>
PendingError serve_while_polling(tesrak::TensorDigest<T>& digest, PyThreadState*& thread_state) {
  ServerThread server(
      [&digest](const tesrak::StopFlag& stop) { tesrak::serve_until(digest, stop); });
  for (;;) {
    // The server's own end wins over a signal arriving at the same time;
    // that signal stays pending for the interpreter to handle afterwards.
    if (server.finished()) {
      server.join();
      if (server.failure()) std::rethrow_exception(server.failure());
      return PendingError();
    }
    if (PendingError raised = check_signals(thread_state)) {
      server.stop_and_join();  // its outcome gives way to the signal
      return raised;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
}

}  // namespace

PyObject* visualize_method(PyObject* self, PyObject*) {
  return lock_releasing_method_entry(self, [](PyTensorDigest& object) -> PyObject* {
    PendingError signal;
    PyThreadState* thread_state = PyEval_SaveThread();
    try {
      signal = visit_digest(object, [&](auto& digest) {
        return serve_while_polling(digest, thread_state);
      });
    } catch (abi::__forced_unwind&) {
      throw;  // the interpreter is ending this thread: the lock is not to be taken back
    } catch (...) {
      PyEval_RestoreThread(thread_state);
      throw;
    }
    // Not from a destructor: at exit this may end the thread by forced
    // unwinding, which must not start inside a noexcept frame.
    PyEval_RestoreThread(thread_state);
    if (signal) {
      signal.restore();
      throw PythonError();
    }
    Py_RETURN_NONE;
  });
}

}  // namespace tesrak_py
