#include <cxxabi.h>

#include <atomic>
#include <chrono>
#include <exception>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include "errors.hpp"
#include "method_frame.hpp"
#include "methods.hpp"
#include "tesrak/server.hpp"

namespace tesrak_py {
namespace {

// How often the calling thread looks at the server thread and at pending
// Python signals while the server runs.
constexpr std::chrono::milliseconds kPollInterval{50};

constexpr std::uint8_t kKeepServing = 0;
constexpr std::uint8_t kStopServing = 1;

// The server thread's run: it ends with `finished` set, and with the
// exception it ended by (if any) kept for the calling thread.
struct ServerRun {
  std::atomic<bool> finished{false};
  std::exception_ptr failure;
};

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
// server thread is always joined before this returns. Returns the signal's
// exception, or nothing when the server ended by itself (its failure is
// then in `run`). Called with the interpreter lock given up, as
// `thread_state`.
template <typename T>
PendingError serve_while_polling(tesrak::TensorDigest<T>& digest, ServerRun& run,
                                 PyThreadState*& thread_state) {
  tesrak::StopFlag stop{kKeepServing};
  std::thread server;
  try {
    server = std::thread([&digest, &stop, &run] {
      try {
        tesrak::serve_until(digest, stop);
      } catch (...) {
        run.failure = std::current_exception();
      }
      run.finished.store(true, std::memory_order_release);
    });
  } catch (const std::system_error& error) {
    throw std::runtime_error(std::string("cannot start the visualizer thread: ") + error.what());
  }

  try {
    for (;;) {
      // The server's own end wins over a signal arriving at the same time;
      // that signal stays pending for the interpreter to handle afterwards.
      if (run.finished.load(std::memory_order_acquire)) {
        server.join();
        return PendingError();
      }
      if (PendingError raised = check_signals(thread_state)) {
        stop.store(kStopServing, std::memory_order_relaxed);
        server.join();  // its outcome gives way to the signal
        return raised;
      }
      std::this_thread::sleep_for(kPollInterval);
    }
  } catch (...) {
    // Above all the forced unwinding by which the interpreter ends a daemon
    // thread at exit, inside check_signals: the server thread must not
    // outlive this frame (destroying it joinable aborts the process), and
    // it also reads `stop` and `run`, which live here and in the caller.
    stop.store(kStopServing, std::memory_order_relaxed);
    server.join();
    throw;
  }
}

}  // namespace

PyObject* visualize_method(PyObject* self, PyObject*) {
  return lock_releasing_method_entry(self, [](PyTensorDigest& object) -> PyObject* {
    ServerRun run;
    PendingError signal;
    PyThreadState* thread_state = PyEval_SaveThread();
    try {
      signal = visit_digest(object, [&](auto& digest) {
        return serve_while_polling(digest, run, thread_state);
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
    if (run.failure) std::rethrow_exception(run.failure);
    Py_RETURN_NONE;
  });
}

}  // namespace tesrak_py
