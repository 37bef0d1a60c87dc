#include "server_thread.hpp"

#include <algorithm>
#include <stdexcept>
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

}  // namespace

ServerThread::ServerThread(std::function<void(const tesrak::StopFlag&)> serve) {
  RunningServers& running = running_servers();
  // Started and recorded in one step, so that an exit either finds the
  // thread to join or keeps it from starting.
  const std::lock_guard lock(running.mutex);
  if (running.closed) throw std::runtime_error("the visualizer cannot start: the process is exiting");
  thread_ = std::thread([this, serve = std::move(serve)] {
    try {
      serve(stop_);
    } catch (...) {
      failure_ = std::current_exception();
    }
    finished_.store(true, std::memory_order_release);
  });
  running.threads.push_back(this);
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

void stop_servers_at_exit() noexcept {
  RunningServers& running = running_servers();
  const std::lock_guard lock(running.mutex);
  running.closed = true;
  for (ServerThread* thread : running.threads) thread->stop_and_join();
}

}  // namespace tesrak_py
