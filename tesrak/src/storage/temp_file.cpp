#include "storage/temp_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>

#include "storage/file_streams.hpp"
#include "tesrak/errors.hpp"

namespace tesrak::detail {
namespace {

// Temporary names are unique per process and call; another writer could
// still pick one first, so a few are tried.
constexpr int kTempNameAttempts = 16;

// Errors of creating a file that say the directory does not take one here,
// while the target itself may still be writable. Others (a full disk, too
// many open files) would fail a write in place as well, after it had
// already truncated the target.
bool directory_refuses(int code) noexcept {
  switch (code) {
    case EACCES:
    case EPERM:
    case EROFS:
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
    case EINVAL:
    case EOPNOTSUPP:
      return true;
    default:
      return false;
  }
}

// A temporary name in `directory` (ending in "/", or "" for the working
// directory), unique per process and call.
std::string temp_name_in(const std::string& directory) {
  static std::atomic<std::uint64_t> counter{0};
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  char name[64];
  std::snprintf(name, sizeof name, ".tesrak-%ld-%llx-%llx.tmp", static_cast<long>(::getpid()),
                static_cast<unsigned long long>(counter++), static_cast<unsigned long long>(now));
  return directory + name;
}

// The name under which /proc shows an open file, unnamed ones included.
std::string descriptor_path(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// An unnamed file in `directory`. None where the file system makes no such
// files (EOPNOTSUPP; EISDIR from kernels before 3.11), or where no /proc is
// mounted to name one by later: a named file then decides, as before,
// whether the directory takes a new file at all.
FileDescriptor open_unnamed(const std::string& directory) {
  FileDescriptor fd(::open(directory.empty() ? "." : directory.c_str(),
                           O_TMPFILE | O_RDWR | O_CLOEXEC, kNewFileMode));
  if (fd.valid() && ::access(descriptor_path(fd.get()).c_str(), F_OK) != 0) return FileDescriptor();
  return fd;
}

}  // namespace

std::optional<TempFile> TempFile::create(const std::string& directory) {
  if (FileDescriptor unnamed = open_unnamed(directory); unnamed.valid()) {
    return std::optional<TempFile>(std::in_place, directory, std::string(), std::move(unnamed));
  }
  for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
    std::string path = temp_name_in(directory);
    FileDescriptor fd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kNewFileMode));
    if (fd.valid()) {
      return std::optional<TempFile>(std::in_place, directory, std::move(path), std::move(fd));
    }
    if (directory_refuses(errno)) return std::nullopt;
    if (errno != EEXIST) throw_errno();
  }
  throw_errno();
}

TempFile::TempFile(std::string directory, std::string path, FileDescriptor fd) noexcept
    : directory_(std::move(directory)), path_(std::move(path)), fd_(std::move(fd)) {}

TempFile::~TempFile() {
  if (!committed_ && !path_.empty()) ::unlink(path_.c_str());
}

int TempFile::commit(const std::string& target) {
  if (path_.empty()) name_unnamed();
  if (::rename(path_.c_str(), target.c_str()) != 0) {
    const int refused = errno;
    ::unlink(path_.c_str());
    path_.clear();
    return refused;
  }
  committed_ = true;
  return 0;
}

// An unnamed file gets a temporary name first: no call links a file over an
// existing one, and the rename that follows is what replaces the target
// atomically.
void TempFile::name_unnamed() {
  const std::string source = descriptor_path(fd_.get());
  for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
    std::string path = temp_name_in(directory_);
    if (::linkat(AT_FDCWD, source.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      path_ = std::move(path);
      return;
    }
    if (errno != EEXIST) throw_errno();
  }
  throw_errno();
}

}  // namespace tesrak::detail
