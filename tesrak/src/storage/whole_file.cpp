#include "storage/whole_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <utility>

#include "support/file_descriptor.hpp"
#include "storage/file_streams.hpp"
#include "storage/overwrite_plan.hpp"
#include "storage/symbolic_links.hpp"
#include "storage/temp_file.hpp"
#include "tesrak/errors.hpp"

namespace tesrak::detail {
namespace {

constexpr mode_t kPermissionBits = 0777;

using Producer = std::function<void(ByteSink&)>;

// The directory entry of a renamed file is durable only once its directory
// is synced too. Failing that is no reason to report the save as failed: the
// file itself is complete.
void sync_directory(const std::string& directory) {
  const FileDescriptor fd(::open(directory.empty() ? "." : directory.c_str(),
                                 O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.valid()) ::fsync(fd.get());
}

// Devices, pipes and directories are not replaced; they get what a plain
// write would do to them (a directory refuses).
void write_unsynced(const std::string& target, const Producer& produce, const WaitHook& hook) {
  OpenFile file = open_without_waiting(target, O_WRONLY | O_CREAT | O_TRUNC);
  FileSink sink = file.waits_for_peer ? FileSink(file.fd.get(), hook) : FileSink(file.fd.get());
  produce(sink);
  file.fd.close();
}

// Truncates, writes and syncs an open regular file.
void write_in_place(FileDescriptor fd, const Producer& produce) {
  if (::ftruncate(fd.get(), 0) != 0) throw_errno();
  FileSink sink(fd.get());
  produce(sink);
  if (::fsync(fd.get()) != 0) throw_errno();
  fd.close();
}

// A regular file, opened to be written in place. Should it have turned into
// a pipe meanwhile, the open does not wait for a reader, and the truncation
// that comes first fails.
FileDescriptor open_for_writing(const std::string& target, int extra_flags) {
  return open_without_waiting(target, O_WRONLY | extra_flags).fd;
}

// Rename errors that say this name may not be replaced, while the file
// behind it may still be written: a file mounted over the target (EBUSY),
// another user's file in a sticky directory (EPERM), a security module's
// refusal (EACCES).
bool name_refuses_replacement(int code) noexcept {
  return code == EBUSY || code == EPERM || code == EACCES;
}

// A full disk, or a full quota.
bool is_out_of_space(int code) noexcept { return code == ENOSPC || code == EDQUOT; }

void cut_to_empty(int fd) {
  if (::ftruncate(fd, 0) != 0) throw_errno();
}

// Writes the whole of the open file `from` into `to`, from the start of each.
void copy_from_start(int from, int to) {
  FileDescriptor source(::dup(from));
  if (!source.valid() || ::lseek(to, 0, SEEK_SET) != 0) throw_errno();
  FileReader reader(std::move(source));
  FileSink sink(to);
  for (auto piece = reader.next(); !piece.empty(); piece = reader.next()) sink.put(piece);
}

// Writes the new content into the target the way the plan says, then cuts
// off what is left of the old. Blocks can still run out while new bytes go
// over old ones (a file that shares its blocks with another, say): the old
// content is torn by then, so the new one is written from the start, as a
// truncating writer would, into the old content's blocks.
void write_over(int finished, int target, off_t size, Overwrite way) {
  if (way == Overwrite::kFromEmpty) cut_to_empty(target);
  try {
    copy_from_start(finished, target);
  } catch (const IoError& error) {
    if (way == Overwrite::kFromEmpty || !is_out_of_space(error.os_code())) throw;
    cut_to_empty(target);
    copy_from_start(finished, target);
  }
  if (::ftruncate(target, size) != 0 || ::fsync(target) != 0) throw_errno();
}

// A rename refused over a target that could be opened for writing: the
// finished snapshot, which cannot be produced twice, is copied from the
// nameless temporary file into the target in place, once it is sure to
// fit, and the target keeps its old content until then. A failure leaves
// no block held past the target's end.
void copy_over_refused_name(FileDescriptor finished, FileDescriptor target) {
  struct stat st;
  if (::fstat(finished.get(), &st) != 0) throw_errno();
  const Overwrite way = plan_overwrite(target.get(), st.st_size);
  try {
    write_over(finished.get(), target.get(), st.st_size, way);
  } catch (...) {
    give_back_blocks_past_end(target.get());
    throw;
  }
  target.close();
}

// The replaced file's owner and group, as far as this process may give
// them away: root keeps both, a member of the file's group keeps the group.
void keep_owner(int fd, const struct stat& replaced) noexcept {
  if (::fchown(fd, replaced.st_uid, replaced.st_gid) != 0) {
    (void)::fchown(fd, static_cast<uid_t>(-1), replaced.st_gid);
  }
}

// Writes the new content into `temp` and renames it over `target`, which
// is missing (`replaced` null) or a regular file with one link, opened for
// writing as `target_fd`.
void replace_through(TempFile& temp, const std::string& target, const struct stat* replaced,
                     FileDescriptor target_fd, const Producer& produce) {
  if (replaced != nullptr) {
    keep_owner(temp.fd(), *replaced);
    if (::fchmod(temp.fd(), replaced->st_mode & kPermissionBits) != 0) throw_errno();
  }
  FileSink sink(temp.fd());
  produce(sink);
  if (::fsync(temp.fd()) != 0) throw_errno();
  if (const int refused = temp.commit(target); refused != 0) {
    if (!target_fd.valid() || !name_refuses_replacement(refused)) {
      throw IoError::from_errno(refused);
    }
    copy_over_refused_name(temp.take_contents(), std::move(target_fd));
    return;
  }
  sync_directory(directory_of(target));
}

// The file that a path's links finally name: replaced through a temporary
// file where that keeps every name of it and the directory allows, else
// written in place.
void replace_file(const std::string& target, const Producer& produce, const WaitHook& hook) {
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
  std::optional<TempFile> temp = TempFile::create(directory_of(target));
  if (!temp) {
    if (!exists) target_fd = open_for_writing(target, O_CREAT);
    write_in_place(std::move(target_fd), produce);
    return;
  }
  replace_through(*temp, target, exists ? &existing : nullptr, std::move(target_fd), produce);
}

}  // namespace

void replace_whole_file(const std::string& path, const Producer& produce, const WaitHook& hook) {
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
  replace_file(end.path, produce, hook);
}

}  // namespace tesrak::detail
