#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <thread>

#include "server/connection.hpp"
#include "socket_pair.hpp"

namespace tesrak::server {
namespace {

using std::chrono::milliseconds;
using tesrak::testing::SocketPair;

// A deadline that only passes when the connection misses a stop: a stop
// ends every wait within a slice, far sooner.
constexpr milliseconds kLongDeadline{10000};
// How long after a call starts waiting for the peer a stop comes from
// another thread.
constexpr milliseconds kStopWhileWaitingAfter{100};

enum class Stop { kNever, kBefore, kWhileWaiting };

StopFlag::value_type stopped_from_the_start(Stop stop) { return stop == Stop::kBefore ? 1 : 0; }

// Sets `flag` a little later from another thread when the stop is to come
// while the connection waits; joined when it goes out of scope. Whenever
// the thread runs, the call ends on the stop: only how soon is measured.
std::jthread stop_while_waiting(Stop stop, StopFlag& flag) {
  if (stop != Stop::kWhileWaiting) return {};
  return std::jthread([&flag] {
    std::this_thread::sleep_for(kStopWhileWaitingAfter);
    flag.store(1, std::memory_order_relaxed);
  });
}

// A stop fails the read at once, even with bytes waiting, and leaves them
// unread; only a deadline makes the read wait out its time.
TEST(Connection, ReadEndsOnBytesEndOfStreamStopOrDeadline) {
  struct Case { const char* name; std::string sent; bool peer_closes; Stop stop; milliseconds time;
                ssize_t result; bool waits_out_its_time; std::size_t unread; };
  const std::vector<Case> cases = {
      {"bytes", "abc", false, Stop::kNever, kLongDeadline, 3, false, 0},
      {"end of stream", "", true, Stop::kNever, kLongDeadline, 0, false, 0},
      {"stop while silent", "", false, Stop::kBefore, kLongDeadline, -1, false, 0},
      {"stop wins over waiting bytes", "abc", false, Stop::kBefore, kLongDeadline, -1, false, 3},
      {"stop during the wait", "", false, Stop::kWhileWaiting, kLongDeadline, -1, false, 0},
      {"deadline while silent", "", false, Stop::kNever, milliseconds(100), -1, true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SocketPair sockets;
    ASSERT_EQ(::write(sockets.peer, c.sent.data(), c.sent.size()), ssize_t(c.sent.size()));
    if (c.peer_closes) ::shutdown(sockets.peer, SHUT_WR);
    StopFlag stop{stopped_from_the_start(c.stop)};
    const Clock::time_point started = Clock::now();
    Connection connection(sockets.server, stop, started + c.time);
    const std::jthread stopper = stop_while_waiting(c.stop, stop);
    char block[16];
    EXPECT_EQ(connection.read(block, sizeof block), c.result);
    EXPECT_EQ(Clock::now() - started >= c.time, c.waits_out_its_time);
    EXPECT_EQ(sockets.unread_by_server(), c.unread);
  }
}

// How much of a reply of `size` bytes the peer has been sent.
std::string_view sent_of(std::size_t received, std::size_t size) {
  if (received == 0) return "nothing";
  return received < size ? "part" : "all";
}

// A peer that never reads fills the socket's buffers; a reply too big for
// them is then left unfinished at the deadline or on a stop, instead of
// blocking. A stop before the reply starts sends none of it.
TEST(Connection, WriteEndsWhenAllIsSentOrOnStopOrDeadline) {
  struct Case { const char* name; std::size_t size; Stop stop; milliseconds time; bool whole;
                bool waits_out_its_time; std::string_view sent; };
  const std::vector<Case> cases = {
      {"fits the buffers", 19, Stop::kNever, kLongDeadline, true, false, "all"},
      {"deadline", 8 << 20, Stop::kNever, milliseconds(200), false, true, "part"},
      {"stop before", 8 << 20, Stop::kBefore, kLongDeadline, false, false, "nothing"},
      {"stop while the buffers are full", 8 << 20, Stop::kWhileWaiting, kLongDeadline, false,
       false, "part"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SocketPair sockets;
    StopFlag stop{stopped_from_the_start(c.stop)};
    const std::string reply(c.size, 'x');
    const Clock::time_point started = Clock::now();
    Connection connection(sockets.server, stop, started + c.time);
    const std::jthread stopper = stop_while_waiting(c.stop, stop);
    EXPECT_EQ(connection.write_all(reply), c.whole);
    EXPECT_EQ(Clock::now() - started >= c.time, c.waits_out_its_time);
    EXPECT_EQ(sent_of(sockets.unread_by_peer(), c.size), c.sent);
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
