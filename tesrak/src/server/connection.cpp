#include "server/connection.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace tesrak::server {

bool Connection::wait_until_ready(short events) {
  for (;;) {
    if (stop_.load(std::memory_order_relaxed) != 0) return false;
    const Clock::duration left = deadline_ - Clock::now();
    if (left <= Clock::duration::zero()) return false;
    const auto slice =
        std::min(kStopCheckSlice, std::chrono::ceil<std::chrono::milliseconds>(left));
    pollfd peer{fd_, events, 0};
    const int ready = ::poll(&peer, 1, static_cast<int>(slice.count()));
    // Readiness includes a hang-up or an error: the call that follows reports it.
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

ssize_t Connection::read(char* into, std::size_t capacity) {
  for (;;) {
    if (!wait_until_ready(POLLIN)) return -1;
    const ssize_t got = ::recv(fd_, into, capacity, MSG_DONTWAIT);
    if (got >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return got;
  }
}

bool Connection::write_all(std::string_view bytes) {
  while (!bytes.empty()) {
    if (!wait_until_ready(POLLOUT)) return false;
    // Never more than the socket takes at once, so a peer that stops
    // reading cannot block the call past the deadline.
    const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) {
      bytes.remove_prefix(static_cast<std::size_t>(sent));
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      return false;  // the peer went away: nothing to report
    }
  }
  return true;
}

void Connection::shut_down_and_drain() {
  if (::shutdown(fd_, SHUT_WR) != 0) return;
  deadline_ = Clock::now() + kDrainTime;
  constexpr std::size_t kBlockBytes = 16384;
  char dropped[kBlockBytes];
  for (std::size_t total = 0; total < kDrainBytes;) {
    const ssize_t got = read(dropped, sizeof dropped);
    if (got <= 0) return;  // the peer closed, or time is up
    total += static_cast<std::size_t>(got);
  }
}

}  // namespace tesrak::server
