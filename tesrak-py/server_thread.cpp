#include "server_thread.hpp"

#include <pthread.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace tesrak_py {
namespace {

constexpr std::uint8_t kStopServing = 1;

// The server threads running now. Once closed (the process is exiting)
// none is added: a daemon thread can still reach visualize() between the
// interpreter's finalisation and the end of the process.
struct RunningServers {
  std::mutex mutex;
  std::vector<ServerThread*> threads;
  bool closed = false;
};

// Never destroyed: a daemon thread ended at exit unwinds through
// ~ServerThread, possibly while exit() runs the static destructors.
RunningServers& running_servers() {
  static RunningServers* const servers = new RunningServers;
  return *servers;
}

// A child made by fork() has none of its parent's other threads: it has no
// server to stop, and the record is not to be found locked by one of them.
void lock_record_for_fork() { running_servers().mutex.lock(); }
void unlock_record_after_fork() { running_servers().mutex.unlock(); }
void forget_servers_in_child() {
  running_servers().threads.clear();
  running_servers().mutex.unlock();
}

// Rethrows the exception in flight, naming the visualizer's thread when
// no thread could be made; running out of memory stays what it is.
[[noreturn]] void rethrow_start_failure() {
  try {
    throw;
  } catch (const std::system_error& error) {
    throw std::runtime_error(std::string("cannot start the visualizer thread: ") + error.what());
  }
}

}  // namespace

ServerThread::ServerThread(std::function<void(const tesrak::StopFlag&)> serve) {
  RunningServers& running = running_servers();
  // Recorded and started in one step, so that an exit either finds the
  // thread to join or keeps it from starting. Recorded first: a record that
  // cannot grow (bad_alloc) then fails the call before there is a thread.
  const std::lock_guard lock(running.mutex);
  if (running.closed) throw std::runtime_error("the visualizer cannot start: the process is exiting");
  running.threads.push_back(this);
  try {
    thread_ = std::thread([this, serve = std::move(serve)] {
      try {
        serve(stop_);
      } catch (...) {
        failure_ = std::current_exception();
      }
      finished_.store(true, std::memory_order_release);
    });
  } catch (...) {
    // Whatever kept the thread from starting (no thread to be had, or no
    // memory for its start), no record may outlive this object.
    running.threads.pop_back();
    rethrow_start_failure();
  }
}

ServerThread::~ServerThread() {
  stop_and_join();
  RunningServers& running = running_servers();
  const std::lock_guard lock(running.mutex);
  std::erase(running.threads, this);
}

void ServerThread::join() {
  const std::lock_guard lock(join_mutex_);
  if (thread_.joinable()) thread_.join();
}

void ServerThread::stop_and_join() {
  stop_.store(kStopServing, std::memory_order_relaxed);
  join();
}

bool watch_servers_at_fork() noexcept {
  // Once per process, however often the import is tried: handlers
  // registered twice would lock the record twice at the next fork(). The
  // import lock and the interpreter lock keep two imports apart.
  static bool registered = false;
  if (!registered) {
    running_servers();  // made now, not first inside a fork handler
    registered = ::pthread_atfork(lock_record_for_fork, unlock_record_after_fork,
                                  forget_servers_in_child) == 0;
  }
  return registered;
}

void stop_servers_at_exit() noexcept {
  RunningServers& running = running_servers();
  const std::lock_guard lock(running.mutex);
  running.closed = true;
  for (ServerThread* thread : running.threads) thread->stop_and_join();
}

}  // namespace tesrak_py
