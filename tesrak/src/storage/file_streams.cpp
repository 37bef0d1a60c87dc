#include "storage/file_streams.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <utility>

#include "tesrak/errors.hpp"

namespace tesrak::detail {
namespace {

// What a snapshot file is read in at a time.
constexpr std::size_t kReadPiece = std::size_t{1} << 20;
// How long a pipe's peer is waited for before the wait goes to the hook.
constexpr int kBriefWaitMs = 1;

// Waits until `fd` is ready for `events`, or has an error or a hang-up for
// the next read or write to report: a slice at a time, each run by `hook`.
void wait_for_peer(int fd, short events, const WaitHook& hook) {
  // A peer that keeps up (a reader that drains the pipe as it fills) is
  // waited for without the hook first, since a hook that gives up a lock
  // may then have to queue for it at every pipeful.
  pollfd watched{fd, events, 0};
  if (::poll(&watched, 1, kBriefWaitMs) > 0) return;
  int ready = 0;
  int error = 0;
  const std::function<void()> slice = [&] {
    ready = ::poll(&watched, 1, static_cast<int>(kWaitSlice.count()));
    error = errno;
  };
  for (;;) {
    if (hook) {
      hook(slice);
    } else {
      slice();
    }
    if (ready > 0) return;
    if (ready < 0 && error != EINTR) throw IoError::from_errno(error);
  }
}

void write_all(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      throw_errno();
    }
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
}

// As write_all, to a non-blocking file that takes what its peer has room
// for.
void write_all_waiting(int fd, std::span<const std::uint8_t> bytes, const WaitHook& hook) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n >= 0) {
      bytes = bytes.subspan(static_cast<std::size_t>(n));
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      wait_for_peer(fd, POLLOUT, hook);
    } else if (errno != EINTR) {
      throw_errno();
    }
  }
}

// The read that fills as much of `out` as the file still has; 0 at its end.
std::size_t read_some(int fd, std::uint8_t* out, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(fd, out, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) throw_errno();
  }
}

// As read_some, from a non-blocking file, waiting for its peer to write.
std::size_t read_some_waiting(int fd, std::uint8_t* out, std::size_t size,
                              const WaitHook& hook) {
  for (;;) {
    const ssize_t n = ::read(fd, out, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      wait_for_peer(fd, POLLIN, hook);
    } else if (errno != EINTR) {
      throw_errno();
    }
  }
}

}  // namespace

void refuse_nul_in_path(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    throw IoError(IoErrorKind::InvalidInput, "file name contained an unexpected NUL byte");
  }
}

// A blocking open of a FIFO waits for the other end for good; this one does
// not. Pipes and character devices stay non-blocking, so that every wait
// for their peer is a poll that can be given up between slices. With
// blocking reads a writer that sends nothing holds the read in the kernel,
// and polling before each read would wait for a writer that never comes
// (Linux reports no hang-up to a reader that has not seen one).
OpenFile open_without_waiting(const std::string& path, int flags) {
  FileDescriptor fd(::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, kNewFileMode));
  if (!fd.valid()) throw_errno();
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) throw_errno();
  const bool waits_for_peer = S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode);
  if (!waits_for_peer) {
    const int status = ::fcntl(fd.get(), F_GETFL);
    if (status < 0 || ::fcntl(fd.get(), F_SETFL, status & ~O_NONBLOCK) != 0) throw_errno();
  }
  return {std::move(fd), waits_for_peer};
}

FileReader::FileReader(FileDescriptor file) : fd_(std::move(file)), waits_for_peer_(false) {
  if (::lseek(fd_.get(), 0, SEEK_SET) != 0) throw_errno();
}

FileReader::FileReader(const std::string& path, WaitHook hook) : hook_(std::move(hook)) {
  refuse_nul_in_path(path);
  OpenFile file = open_without_waiting(path, O_RDONLY);
  waits_for_peer_ = file.waits_for_peer;
  fd_ = std::move(file.fd);
}

std::span<const std::uint8_t> FileReader::next() {
  if (ended_) return {};
  if (!buffer_) buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(kReadPiece);
  const std::size_t n = waits_for_peer_
                            ? read_some_waiting(fd_.get(), buffer_.get(), kReadPiece, hook_)
                            : read_some(fd_.get(), buffer_.get(), kReadPiece);
  ended_ = n == 0;
  return {buffer_.get(), n};
}

void FileSink::put(std::span<const std::uint8_t> bytes) {
  if (hook_ != nullptr) {
    write_all_waiting(fd_, bytes, *hook_);
  } else {
    write_all(fd_, bytes);
  }
}

}  // namespace tesrak::detail
