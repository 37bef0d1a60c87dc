#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

#include "tesrak/server.hpp"

namespace tesrak_py {

// The thread a visualize() call serves its digest on. The process keeps a
// record of those running: at exit, daemon threads are never woken to stop
// theirs, and a server still classifying on the worker pool when the pool
// library's static state is torn down crashes the exit. So the interpreter's
// last clean-up step (see stop_servers_at_exit) stops and joins them all.
class ServerThread {
 public:
  // Starts `serve`, which runs until the flag it is given is set, on a
  // thread of its own. Throws std::runtime_error when no thread can be
  // made, or once the process is exiting, and std::bad_alloc when there is
  // no memory to start one; the record then keeps nothing of it.
  explicit ServerThread(std::function<void(const tesrak::StopFlag&)> serve);
  ServerThread(const ServerThread&) = delete;
  ServerThread& operator=(const ServerThread&) = delete;
  // Stops and joins the thread, on every path out of visualize(): also the
  // forced unwinding by which the interpreter ends a daemon thread at exit,
  // since the server reads the digest and the flag its caller holds.
  ~ServerThread();

  // Whether `serve` has returned or thrown.
  bool finished() const noexcept { return finished_.load(std::memory_order_acquire); }
  // What `serve` threw, once finished; null when it returned.
  std::exception_ptr failure() const noexcept { return failure_; }

  // Waits for the thread to end; any thread may call it, and more than once.
  void join();
  // Sets the stop flag, which the server reads at its checkpoints, and
  // waits for the thread to end.
  void stop_and_join();

 private:
  tesrak::StopFlag stop_{0};
  std::atomic<bool> finished_{false};
  std::exception_ptr failure_;
  std::mutex join_mutex_;  // std::thread::join may not race with itself
  std::thread thread_;
};

// Lets a child made by fork() start with no record of its parent's server
// threads. Called at import, which may be tried again after a failure: the
// handlers are registered once per process. False when they cannot be
// registered.
bool watch_servers_at_fork() noexcept;

// Stops and joins every running server thread, and lets no new one start.
// Registered with Py_AtExit: it runs once the interpreter is finalised,
// before exit() tears down static state.
void stop_servers_at_exit() noexcept;

}  // namespace tesrak_py
