#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "server/connection.hpp"

namespace tesrak::server {
namespace {

using std::chrono::milliseconds;

// Two connected stream sockets: the server's end and the peer's.
struct SocketPair {
  int server = -1, peer = -1;
  SocketPair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) ADD_FAILURE() << "socketpair";
    server = fds[0];
    peer = fds[1];
  }
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

// A wait that nothing ends would hang the test: the long deadlines only
// ever pass when the connection misses a stop.
TEST(Connection, ReadEndsOnBytesEndOfStreamStopOrDeadline) {
  struct Case { const char* name; std::string sent; bool peer_closes, stop; milliseconds time;
                ssize_t result; bool stopped; };
  const std::vector<Case> cases = {
      {"bytes", "abc", false, false, milliseconds(60000), 3, false},
      {"end of stream", "", true, false, milliseconds(60000), 0, false},
      {"stop while silent", "", false, true, milliseconds(60000), -1, true},
      {"stop wins over waiting bytes", "abc", false, true, milliseconds(60000), -1, true},
      {"deadline while silent", "", false, false, milliseconds(100), -1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SocketPair sockets;
    ASSERT_EQ(::write(sockets.peer, c.sent.data(), c.sent.size()), ssize_t(c.sent.size()));
    if (c.peer_closes) ::shutdown(sockets.peer, SHUT_WR);
    const StopFlag stop{c.stop ? std::uint8_t{1} : std::uint8_t{0}};
    Connection connection(sockets.server, stop, Clock::now() + c.time);
    char block[16];
    EXPECT_EQ(connection.read(block, sizeof block), c.result);
    EXPECT_EQ(connection.stopped(), c.stopped);
  }
}

// A peer that never reads fills the socket's buffers; a reply too big for
// them is then left unfinished at the deadline or on a stop, instead of
// blocking.
TEST(Connection, WriteEndsWhenAllIsSentOrOnStopOrDeadline) {
  struct Case { const char* name; std::size_t size; bool stop; milliseconds time; bool whole; };
  const std::vector<Case> cases = {
      {"fits the buffers", 19, false, milliseconds(60000), true},
      {"deadline", 8 << 20, false, milliseconds(200), false},
      {"stop", 8 << 20, true, milliseconds(60000), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SocketPair sockets;
    const StopFlag stop{c.stop ? std::uint8_t{1} : std::uint8_t{0}};
    Connection connection(sockets.server, stop, Clock::now() + c.time);
    connection.write_all(std::string(c.size, 'x'));
    EXPECT_EQ(sockets.unread_by_peer() == c.size, c.whole);
    EXPECT_EQ(connection.stopped(), c.stop);
  }
}

// After a reply the peer sees the end of the stream at once, while what it
// still sends is read and dropped until it closes, a stop comes, or the
// drain's time is up.
TEST(Connection, DrainAfterAReplyLastsUntilThePeerClosesAStopOrItsTime) {
  struct Case { const char* name; bool peer_closes, stop, waits_out_its_time; std::size_t unread; };
  const std::string pipelined = "GET / HTTP/1.1\r\n\r\n";
  const std::vector<Case> cases = {
      {"peer closes", true, false, false, 0},
      {"stop", false, true, false, pipelined.size()},
      {"peer stays", false, false, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SocketPair sockets;
    ASSERT_EQ(::write(sockets.peer, pipelined.data(), pipelined.size()), ssize_t(pipelined.size()));
    if (c.peer_closes) ::shutdown(sockets.peer, SHUT_WR);
    const StopFlag stop{c.stop ? std::uint8_t{1} : std::uint8_t{0}};
    Connection connection(sockets.server, stop, Clock::now() + milliseconds(60000));
    const Clock::time_point started = Clock::now();
    connection.shut_down_and_drain();
    EXPECT_EQ(Clock::now() - started >= kDrainTime, c.waits_out_its_time);
    EXPECT_EQ(sockets.unread_by_server(), c.unread);
    char byte;
    EXPECT_EQ(::read(sockets.peer, &byte, 1), 0);
  }
}

}  // namespace
}  // namespace tesrak::server
