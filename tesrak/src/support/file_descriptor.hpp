#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

#include "tesrak/errors.hpp"

namespace tesrak::detail {

// Throws the IoError of the system call that has just failed.
[[noreturn]] inline void throw_errno() { throw IoError::from_errno(errno); }

// Owns one file descriptor, closing it unless released; -1 owns none.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      if (fd_ >= 0) ::close(fd_);
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  int release() noexcept { return std::exchange(fd_, -1); }

  // Closes now, reporting (as IoError) the error a write-back at close may
  // bring, which the destructor has to ignore.
  void close() {
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0) throw IoError::from_errno(errno);
  }

 private:
  int fd_;
};

}  // namespace tesrak::detail
