#include "whole_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "tesrak/errors.hpp"

namespace tesrak::detail {
namespace {

// open() takes the umask off this.
constexpr mode_t kNewFileMode = 0666;
constexpr mode_t kPermissionBits = 0777;
// Temporary names are unique per process and call; another writer could
// still pick one first, so a few are tried.
constexpr int kTempNameAttempts = 16;
// What is read at a time from a file whose size is not known in advance.
constexpr std::size_t kReadChunk = std::size_t{1} << 16;

[[noreturn]] void throw_errno() { throw IoError::from_errno(errno); }

// Owns one file descriptor.
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
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }

  // Closes now, reporting the error a write-back at close may bring.
  void close() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw_errno();
  }

 private:
  int fd_;
};

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

// The read that fills as much of `out` as the file still has; 0 at its end.
std::size_t read_some(int fd, std::uint8_t* out, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(fd, out, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) throw_errno();
  }
}

// The file a symbolic link leads to, so that saving through a link replaces
// the file and not the link. A dangling link is replaced itself.
std::string follow_symlinks(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return path;
  std::string result(resolved);
  std::free(resolved);
  return result;
}

// The directory part of `path` with its trailing slash, or "" for the
// working directory.
std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// A new file in `directory` that disappears again unless committed.
class TempFile {
 public:
  explicit TempFile(const std::string& directory) {
    static std::atomic<std::uint64_t> counter{0};
    for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
      path_ = directory + unique_name(counter++);
      FileDescriptor fd(::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                               kNewFileMode));
      if (fd.valid()) {
        fd_ = std::move(fd);
        return;
      }
      if (errno != EEXIST) throw_errno();
    }
    throw_errno();
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    if (!committed_) ::unlink(path_.c_str());
  }

  int fd() const noexcept { return fd_.get(); }
  void close() { fd_.close(); }

  // Renames the file to `target`, replacing whatever file is there.
  void commit(const std::string& target) {
    if (::rename(path_.c_str(), target.c_str()) != 0) throw_errno();
    committed_ = true;
  }

 private:
  static std::string unique_name(std::uint64_t serial) {
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    char name[64];
    std::snprintf(name, sizeof name, ".tesrak-%ld-%llx-%llx.tmp", static_cast<long>(::getpid()),
                  static_cast<unsigned long long>(serial), static_cast<unsigned long long>(now));
    return name;
  }

  std::string path_;
  FileDescriptor fd_;
  bool committed_ = false;
};

// The directory entry of a renamed file is durable only once its directory
// is synced too. Failing that is no reason to report the save as failed: the
// file itself is complete.
void sync_directory(const std::string& directory) {
  const int fd = ::open(directory.empty() ? "." : directory.c_str(),
                        O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// Devices, pipes and directories are not replaced; they get what a plain
// write would do to them (a directory refuses).
void write_in_place(const std::string& target, std::span<const std::uint8_t> bytes) {
  FileDescriptor fd(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kNewFileMode));
  if (!fd.valid()) throw_errno();
  write_all(fd.get(), bytes);
  fd.close();
}

// A file the caller may not write is not replaced either.
void check_writable(const std::string& target) {
  FileDescriptor fd(::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) throw_errno();
}

}  // namespace

void refuse_nul_in_path(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    throw IoError(IoErrorKind::InvalidInput, "file name contained an unexpected NUL byte");
  }
}

std::vector<std::uint8_t> read_whole_file(const std::string& path) {
  refuse_nul_in_path(path);
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) throw_errno();
  struct stat st;
  const bool sized = ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0;

  // Room past the expected end, so that the end shows as a read of 0
  // without growing the buffer; only a file that grows meanwhile (or one
  // of unknown size) makes it grow.
  const std::size_t expected = sized ? static_cast<std::size_t>(st.st_size) : 0;
  std::vector<std::uint8_t> bytes(expected + kReadChunk);
  std::size_t filled = 0;
  for (;;) {
    if (filled == bytes.size()) bytes.resize(bytes.size() * 2);
    const std::size_t n = read_some(fd.get(), bytes.data() + filled, bytes.size() - filled);
    if (n == 0) break;
    filled += n;
  }
  bytes.resize(filled);
  return bytes;
}

void replace_whole_file(const std::string& path, std::span<const std::uint8_t> bytes) {
  refuse_nul_in_path(path);
  const std::string target = follow_symlinks(path);
  struct stat existing;
  const bool exists = ::stat(target.c_str(), &existing) == 0;
  if (exists && !S_ISREG(existing.st_mode)) {
    write_in_place(target, bytes);
    return;
  }
  if (exists) check_writable(target);

  const std::string directory = directory_of(target);
  TempFile temp(directory);
  if (exists && ::fchmod(temp.fd(), existing.st_mode & kPermissionBits) != 0) throw_errno();
  write_all(temp.fd(), bytes);
  if (::fsync(temp.fd()) != 0) throw_errno();
  temp.close();
  temp.commit(target);
  sync_directory(directory);
}

}  // namespace tesrak::detail
