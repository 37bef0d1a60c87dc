#include "whole_file.hpp"

#include <fcntl.h>
#include <linux/falloc.h>
#include <poll.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <utility>

#include "file_descriptor.hpp"
#include "tesrak/errors.hpp"

namespace tesrak::detail {
namespace {

// open() takes the umask off this.
constexpr mode_t kNewFileMode = 0666;
constexpr mode_t kPermissionBits = 0777;
// Temporary names are unique per process and call; another writer could
// still pick one first, so a few are tried.
constexpr int kTempNameAttempts = 16;
// What a snapshot file is read in at a time.
constexpr std::size_t kReadPiece = std::size_t{1} << 20;
// Symbolic links followed from one path before giving up, as the kernel does.
constexpr int kMaxLinkHops = 40;
// How long a pipe's peer is waited for before the wait goes to the hook.
constexpr int kBriefWaitMs = 1;

[[noreturn]] void throw_errno() { throw IoError::from_errno(errno); }

// An open file, and whether its reads and writes may have to wait for a
// peer: the other end of a pipe, the user at a terminal.
struct OpenFile {
  FileDescriptor fd;
  bool waits_for_peer;
};

// Opens without waiting. A blocking open of a FIFO waits for the other end
// for good; this one opens at once for reading, and fails at once (ENXIO)
// for writing when no reader has the FIFO open.
//
// Pipes and character devices stay non-blocking, so that every wait for
// their peer is a poll that can be given up between slices. With blocking
// reads a writer that sends nothing holds the read in the kernel, and
// polling before each read would wait for a writer that never comes (Linux
// reports no hang-up to a reader that has not seen one). Everything else
// gets blocking reads and writes back.
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

// The target of the symbolic link at `path`, as stored in the link.
std::string link_content(const std::string& path) {
  std::string content(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink(path.c_str(), content.data(), content.size());
    if (n < 0) throw_errno();
    if (static_cast<std::size_t>(n) < content.size()) {
      content.resize(static_cast<std::size_t>(n));
      return content;
    }
    content.resize(content.size() * 2);
  }
}

// The directory part of `path` with its trailing slash, or "" for the
// working directory.
std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Whether the symbolic link at `path` lives in /proc. Its links to open
// files (/proc/self/fd/N, /dev/stdout's final hop) hold text such as
// "/tmp/#12 (deleted)", "pipe:[7]" or "/memfd:x (deleted)": no path, only
// a description of the file the kernel reaches through the link itself.
bool is_link_of_proc(const std::string& path) {
  const std::string directory = directory_of(path);
  struct statfs fs;
  return ::statfs(directory.empty() ? "." : directory.c_str(), &fs) == 0 &&
         fs.f_type == PROC_SUPER_MAGIC;
}

// Where the symbolic links of a path lead.
struct LinkEnd {
  std::string path;
  // A link of /proc was met on the way: `path` is then the path as given,
  // to be opened as it is, since the text of such a link names no path.
  bool through_proc;
};

// `path` with symbolic links followed, one after another, to the path they
// finally name, which need not exist: saving through a link writes the
// file it leads to, even a file yet to be made, and leaves the link.
LinkEnd follow_links(const std::string& path) {
  std::string current = path;
  for (int hops = 0;; ++hops) {
    struct stat st;
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return {current, false};
    if (is_link_of_proc(current)) return {path, true};
    if (hops == kMaxLinkHops) throw IoError::from_errno(ELOOP);
    const std::string content = link_content(current);
    current = !content.empty() && content.front() == '/' ? content : directory_of(current) + content;
  }
}

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

// A new file in `directory` that leaves nothing behind unless committed.
// Where the file system allows, it has no name until the commit, so that
// not even a killed process leaves it; elsewhere it is named from the
// start and removed again on failure.
class TempFile {
 public:
  // None when the directory refuses new files; throws for other errors.
  static std::optional<TempFile> create(const std::string& directory) {
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

  TempFile(std::string directory, std::string path, FileDescriptor fd) noexcept
      : directory_(std::move(directory)), path_(std::move(path)), fd_(std::move(fd)) {}
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    if (!committed_ && !path_.empty()) ::unlink(path_.c_str());
  }

  int fd() const noexcept { return fd_.get(); }

  // Renames the complete, synced file to `target`, replacing whatever file
  // is there. Returns 0, or the error code of a refused rename. A refused
  // file loses its name again at once, so that a process killed later
  // leaves nothing behind, and stays open to be read (take_contents).
  int commit(const std::string& target) {
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

  // The open file, given up to the caller, once its commit was refused.
  FileDescriptor take_contents() noexcept { return std::move(fd_); }

 private:
  // An unnamed file in `directory`. None where the file system makes no
  // such files (EOPNOTSUPP; EISDIR from kernels before 3.11), or where no
  // /proc is mounted to name one by later: a named file then decides, as
  // before, whether the directory takes a new file at all.
  static FileDescriptor open_unnamed(const std::string& directory) {
    FileDescriptor fd(::open(directory.empty() ? "." : directory.c_str(),
                             O_TMPFILE | O_RDWR | O_CLOEXEC, kNewFileMode));
    if (fd.valid() && ::access(descriptor_path(fd.get()).c_str(), F_OK) != 0) return FileDescriptor();
    return fd;
  }

  // An unnamed file gets a temporary name first: no call links a file over
  // an existing one, and the rename that follows is what replaces the
  // target atomically.
  void name_unnamed() {
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

  std::string directory_;
  std::string path_;  // empty while the file has no name
  FileDescriptor fd_;
  bool committed_ = false;
};

// The directory entry of a renamed file is durable only once its directory
// is synced too. Failing that is no reason to report the save as failed: the
// file itself is complete.
void sync_directory(const std::string& directory) {
  const FileDescriptor fd(::open(directory.empty() ? "." : directory.c_str(),
                                 O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid()) ::fsync(fd.get());
}

// Puts bytes into an open file.
class FileSink final : public ByteSink {
 public:
  // A file that takes every write at once.
  explicit FileSink(int fd) noexcept : fd_(fd) {}
  // A file whose peer may keep a write waiting; `hook` outlives the sink.
  FileSink(int fd, const WaitHook& hook) noexcept : fd_(fd), hook_(&hook) {}

  void put(std::span<const std::uint8_t> bytes) override {
    if (hook_ != nullptr) {
      write_all_waiting(fd_, bytes, *hook_);
    } else {
      write_all(fd_, bytes);
    }
  }

 private:
  int fd_;
  const WaitHook* hook_ = nullptr;
};

// Devices, pipes and directories are not replaced; they get what a plain
// write would do to them (a directory refuses).
void write_unsynced(const std::string& target, const std::function<void(ByteSink&)>& produce,
                    const WaitHook& hook) {
  OpenFile file = open_without_waiting(target, O_WRONLY | O_CREAT | O_TRUNC);
  FileSink sink = file.waits_for_peer ? FileSink(file.fd.get(), hook) : FileSink(file.fd.get());
  produce(sink);
  file.fd.close();
}

// Truncates, writes and syncs an open regular file.
void write_in_place(FileDescriptor fd, const std::function<void(ByteSink&)>& produce) {
  if (::ftruncate(fd.get(), 0) != 0) throw_errno();
  FileSink sink(fd.get());
  produce(sink);
  if (::fsync(fd.get()) != 0) throw_errno();
  fd.close();
}

// Rename errors that say this name may not be replaced, while the file
// behind it may still be written: a file mounted over the target (EBUSY),
// another user's file in a sticky directory (EPERM), a security module's
// refusal (EACCES).
bool name_refuses_replacement(int code) noexcept {
  return code == EBUSY || code == EPERM || code == EACCES;
}

// Reserves the blocks a regular file needs to hold `size` bytes, leaving its
// size and content as they are. A file system that cannot reserve is
// written without; a full disk or a quota fails here, before any old byte
// is given up, and gives back what it had reserved.
void claim_space(int fd, off_t size) {
  if (size == 0) return;  // fallocate refuses an empty range
  int status;
  do {
    status = ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size);
  } while (status != 0 && errno == EINTR);
  if (status == 0 || errno == EOPNOTSUPP || errno == ENOSYS) return;
  const int error = errno;
  struct stat st;
  if (::fstat(fd, &st) == 0) (void)::ftruncate(fd, st.st_size);  // drops blocks past the end
  throw IoError::from_errno(error);
}

// A rename refused over a target that could be opened for writing: the
// finished snapshot, which cannot be produced twice, is copied from the
// nameless temporary file into the target in place. The target keeps its
// old content until the space for the new one is claimed; the new content
// is then written over it, and what is left of the old cut off.
void copy_over_refused_name(FileDescriptor finished, FileDescriptor target) {
  struct stat st;
  if (::fstat(finished.get(), &st) != 0) throw_errno();
  claim_space(target.get(), st.st_size);
  FileReader reader(std::move(finished));
  FileSink sink(target.get());
  for (auto piece = reader.next(); !piece.empty(); piece = reader.next()) sink.put(piece);
  if (::ftruncate(target.get(), st.st_size) != 0 || ::fsync(target.get()) != 0) throw_errno();
  target.close();
}

// The replaced file's owner and group, as far as this process may give
// them away: root keeps both, a member of the file's group keeps the group.
void keep_owner(int fd, const struct stat& replaced) noexcept {
  if (::fchown(fd, replaced.st_uid, replaced.st_gid) != 0) {
    (void)::fchown(fd, static_cast<uid_t>(-1), replaced.st_gid);
  }
}

// A regular file, opened to be written in place. Should it have turned into
// a pipe meanwhile, the open does not wait for a reader, and the truncation
// that comes first fails.
FileDescriptor open_for_writing(const std::string& target, int extra_flags) {
  return open_without_waiting(target, O_WRONLY | extra_flags).fd;
}

}  // namespace

void refuse_nul_in_path(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    throw IoError(IoErrorKind::InvalidInput, "file name contained an unexpected NUL byte");
  }
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

void replace_whole_file(const std::string& path, const std::function<void(ByteSink&)>& produce,
                        const WaitHook& hook) {
  refuse_nul_in_path(path);
  // A pipe or device is written where the path leads, also through the
  // links of /proc (/dev/stdout, say), whose content is no path to follow.
  struct stat named;
  if (::stat(path.c_str(), &named) == 0 && !S_ISREG(named.st_mode)) {
    write_unsynced(path, produce, hook);
    return;
  }
  const LinkEnd end = follow_links(path);
  if (end.through_proc) {
    // The file a link of /proc leads to is written where it is: it may have
    // no name at all (a deleted file, a memfd), or a name that others hold
    // it open under (a shell's redirection of stdout), which a rename would
    // take from them.
    write_in_place(open_for_writing(path, 0), produce);
    return;
  }
  const std::string& target = end.path;
  struct stat existing;
  const bool exists = ::stat(target.c_str(), &existing) == 0;
  if (exists && !S_ISREG(existing.st_mode)) {
    write_unsynced(target, produce, hook);
    return;
  }
  // A file the caller may not write is not replaced either.
  FileDescriptor target_fd;
  if (exists) target_fd = open_for_writing(target, 0);
  if (exists && existing.st_nlink > 1) {
    write_in_place(std::move(target_fd), produce);
    return;
  }

  const std::string directory = directory_of(target);
  std::optional<TempFile> temp = TempFile::create(directory);
  if (!temp) {
    if (!exists) target_fd = open_for_writing(target, O_CREAT);
    write_in_place(std::move(target_fd), produce);
    return;
  }
  if (exists) {
    keep_owner(temp->fd(), existing);
    if (::fchmod(temp->fd(), existing.st_mode & kPermissionBits) != 0) throw_errno();
  }
  FileSink sink(temp->fd());
  produce(sink);
  if (::fsync(temp->fd()) != 0) throw_errno();
  if (const int refused = temp->commit(target); refused != 0) {
    if (!target_fd.valid() || !name_refuses_replacement(refused)) {
      throw IoError::from_errno(refused);
    }
    copy_over_refused_name(temp->take_contents(), std::move(target_fd));
    return;
  }
  sync_directory(directory);
}

}  // namespace tesrak::detail
