#include "server/startup_line.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>

namespace tesrak::server {
namespace {

using detail::FileDescriptor;

// Standard error opened anew: a pipe, FIFO or terminal gets a description
// of its own, whose non-blocking mode no other writer shares. Setting that
// mode on descriptor 2 itself would change the stream for every other
// writer of this process and of its children.
FileDescriptor reopened_standard_error() {
  return FileDescriptor(
      ::open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
}

FileDescriptor duplicated_standard_error() {
  return FileDescriptor(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0));
}

bool is_transient(int error) noexcept {
  return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

}  // namespace

StartupLine StartupLine::to_standard_error() {
  struct stat stream;
  if (::fstat(STDERR_FILENO, &stream) != 0) return StartupLine();
  if (S_ISSOCK(stream.st_mode)) return StartupLine(duplicated_standard_error(), Mode::kSocket);
  const bool is_pipe = S_ISFIFO(stream.st_mode);
  if (is_pipe || ::isatty(STDERR_FILENO) == 1) {
    if (FileDescriptor own = reopened_standard_error(); own.valid()) {
      return StartupLine(std::move(own), Mode::kNonBlocking);
    }
    // A pipe that cannot be opened anew has no reader left (ENXIO), or no
    // /proc to open it through: either way the line is not written. A
    // terminal (another user's, say) takes the line once it polls
    // writable: it blocks a write only while its output is stopped.
    if (is_pipe) return StartupLine();
  }
  // A regular file or a device other than a terminal takes a write at once.
  return StartupLine(duplicated_standard_error(), Mode::kWhenReady);
}

void StartupLine::start(std::string text) {
  left_ = std::move(text);
  write_if_ready();
}

void StartupLine::write_if_ready() {
  if (!pending()) return;
  pollfd entry = wait_entry();
  if (::poll(&entry, 1, 0) > 0) on_ready(entry.revents);
}

pollfd StartupLine::wait_entry() const noexcept {
  return pollfd{pending() ? stream_.get() : -1, POLLOUT, 0};
}

void StartupLine::on_ready(short revents) {
  if (!pending()) return;
  if ((revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
    drop();  // no reader left, or a stream that failed: the line can never arrive
  } else if ((revents & POLLOUT) != 0) {
    write_once();
  }
}

void StartupLine::write_once() {
  // A stream in blocking mode that polls writable has room for PIPE_BUF
  // bytes at least; more could block.
  const std::size_t size =
      mode_ == Mode::kWhenReady ? std::min<std::size_t>(left_.size(), PIPE_BUF) : left_.size();
  const ssize_t written =
      mode_ == Mode::kSocket
          ? ::send(stream_.get(), left_.data(), size, MSG_DONTWAIT | MSG_NOSIGNAL)
          : ::write(stream_.get(), left_.data(), size);
  if (written >= 0) {
    left_.erase(0, static_cast<std::size_t>(written));
    if (left_.empty()) drop();  // a pipe's reader may wait for its last writer to close
  } else if (!is_transient(errno)) {
    drop();
  }
}

void StartupLine::drop() noexcept {
  left_.clear();
  stream_ = FileDescriptor();
}

}  // namespace tesrak::server
