#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

#include "server/startup_line.hpp"
#include "socket_pair.hpp"

namespace tesrak::server {
namespace {

using tesrak::testing::SocketPair;

constexpr std::string_view kLine = "tesrak visualizer running at http://127.0.0.1:7777\n";

// Puts `fd` (or nothing, for -1) in the place of standard error for the
// test's length, and the real one back afterwards.
class StandardErrorAs {
 public:
  explicit StandardErrorAs(int fd) : saved_(::dup(STDERR_FILENO)) {
    if (fd >= 0) {
      ::dup2(fd, STDERR_FILENO);
    } else {
      ::close(STDERR_FILENO);
    }
  }
  StandardErrorAs(const StandardErrorAs&) = delete;
  StandardErrorAs& operator=(const StandardErrorAs&) = delete;
  ~StandardErrorAs() {
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
  }

 private:
  int saved_;
};

struct Pipe {
  int reader = -1, writer = -1;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) ADD_FAILURE() << "pipe";
    reader = fds[0];
    writer = fds[1];
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  ~Pipe() {
    if (reader >= 0) ::close(reader);
    ::close(writer);
  }
  // Fills the pipe to the last byte, leaving its description as it was.
  std::size_t fill() const {
    const int flags = ::fcntl(writer, F_GETFL);
    ::fcntl(writer, F_SETFL, flags | O_NONBLOCK);
    std::size_t total = 0;
    const std::string block(4096, 'x');
    for (std::size_t size = block.size(); size > 0; size /= 2) {
      for (ssize_t n; (n = ::write(writer, block.data(), size)) > 0;) total += n;
    }
    ::fcntl(writer, F_SETFL, flags);
    return total;
  }
  std::string read_some(std::size_t most) const {
    std::string bytes(most, '\0');
    const ssize_t n = ::read(reader, bytes.data(), most);
    bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return bytes;
  }
};

bool pending(const StartupLine& line) { return line.wait_entry().fd >= 0; }

// Waits for the stream's room as the server loop would, and writes.
void wait_and_write(StartupLine& line) {
  pollfd entry = line.wait_entry();
  if (::poll(&entry, 1, 1000) > 0) line.on_ready(entry.revents);
}

// A file redirected to by the shell is shared with every other writer: the
// line goes where the file stands, after what it holds, never over it.
TEST(StartupLine, ARegularFileTakesTheLineWhereItsOtherWritersLeftIt) {
  std::FILE* file = std::tmpfile();
  const int fd = ::fileno(file);
  ASSERT_EQ(::write(fd, "early\n", 6), 6);
  {
    const StandardErrorAs stderr_is(fd);
    StartupLine line = StartupLine::to_standard_error();
    line.start(std::string(kLine));
    EXPECT_FALSE(pending(line));
    ASSERT_EQ(::write(STDERR_FILENO, "late\n", 5), 5);
  }
  std::string content(200, '\0');
  content.resize(static_cast<std::size_t>(::pread(fd, content.data(), content.size(), 0)));
  EXPECT_EQ(content, "early\n" + std::string(kLine) + "late\n");
  std::fclose(file);
}

// A full pipe keeps the line pending, not the caller, and takes it whole
// once its reader makes room; descriptor 2 itself stays blocking for the
// process's other writers.
TEST(StartupLine, AFullPipeTakesTheLineOnceItsReaderMakesRoom) {
  Pipe pipe;
  const std::size_t filled = pipe.fill();
  const StandardErrorAs stderr_is(pipe.writer);
  StartupLine line = StartupLine::to_standard_error();
  line.start(std::string(kLine));
  EXPECT_TRUE(pending(line));
  line.write_if_ready();
  EXPECT_TRUE(pending(line));
  EXPECT_EQ(::fcntl(STDERR_FILENO, F_GETFL) & O_NONBLOCK, 0);

  std::string read = pipe.read_some(filled);
  wait_and_write(line);
  EXPECT_FALSE(pending(line));
  while (read.size() < filled + kLine.size()) read += pipe.read_some(filled);
  EXPECT_EQ(read, std::string(filled, 'x') + std::string(kLine));
}

// No reader, none to come: the line is dropped, and never written into a
// pipe that would answer with SIGPIPE.
TEST(StartupLine, APipeWithoutAReaderGetsNoLine) {
  {
    Pipe pipe;
    ::close(std::exchange(pipe.reader, -1));
    const StandardErrorAs stderr_is(pipe.writer);
    StartupLine line = StartupLine::to_standard_error();
    line.start(std::string(kLine));
    EXPECT_FALSE(pending(line));
  }
  {
    Pipe pipe;
    pipe.fill();
    const StandardErrorAs stderr_is(pipe.writer);
    StartupLine line = StartupLine::to_standard_error();
    line.start(std::string(kLine));
    ASSERT_TRUE(pending(line));
    ::close(std::exchange(pipe.reader, -1));
    line.write_if_ready();
    EXPECT_FALSE(pending(line));
  }
}

TEST(StartupLine, ASocketTakesTheLineAndOneWithoutAPeerDropsIt) {
  {
    SocketPair sockets;
    const StandardErrorAs stderr_is(sockets.server);
    StartupLine line = StartupLine::to_standard_error();
    line.start(std::string(kLine));
    EXPECT_FALSE(pending(line));
    std::string got(kLine.size(), '\0');
    EXPECT_EQ(::recv(sockets.peer, got.data(), got.size(), MSG_DONTWAIT),
              static_cast<ssize_t>(kLine.size()));
    EXPECT_EQ(got, kLine);
  }
  {
    SocketPair sockets;
    ::shutdown(sockets.peer, SHUT_RDWR);
    const StandardErrorAs stderr_is(sockets.server);
    StartupLine line = StartupLine::to_standard_error();
    line.start(std::string(kLine));  // no SIGPIPE either
    EXPECT_FALSE(pending(line));
  }
}

// Closed when the server starts, descriptor 2 may be taken by the next
// file the process opens (the server's own listener, say), which must not
// get the line.
TEST(StartupLine, AClosedStandardErrorGetsNoLineThoughItsNumberIsTakenAgain) {
  const StandardErrorAs stderr_is(-1);
  StartupLine line = StartupLine::to_standard_error();
  std::FILE* taker = std::tmpfile();
  ASSERT_EQ(::fileno(taker), STDERR_FILENO);
  line.start(std::string(kLine));
  EXPECT_FALSE(pending(line));
  EXPECT_EQ(::lseek(STDERR_FILENO, 0, SEEK_END), 0);
  std::fclose(taker);
}

}  // namespace
}  // namespace tesrak::server
