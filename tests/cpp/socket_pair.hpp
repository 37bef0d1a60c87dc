#pragma once

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>

namespace tesrak::testing {

// Two connected stream sockets: the server's end and the peer's.
struct SocketPair {
  int server = -1, peer = -1;
  SocketPair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) ADD_FAILURE() << "socketpair";
    server = fds[0];
    peer = fds[1];
  }
  SocketPair(const SocketPair&) = delete;
  SocketPair& operator=(const SocketPair&) = delete;
  ~SocketPair() {
    ::close(server);
    ::close(peer);
  }
  static std::size_t unread(int fd) {
    int count = 0;
    ::ioctl(fd, FIONREAD, &count);
    return static_cast<std::size_t>(count);
  }
  std::size_t unread_by_peer() const { return unread(peer); }
  std::size_t unread_by_server() const { return unread(server); }
};

}  // namespace tesrak::testing
