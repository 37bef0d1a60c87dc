#include "storage/overwrite_plan.hpp"

#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "support/file_descriptor.hpp"
#include "tesrak/errors.hpp"

namespace tesrak::detail {
namespace {

// The file systems that never write over a block in place.
constexpr std::uint32_t kBtrfsMagic = 0x9123683e;
constexpr std::uint32_t kBcachefsMagic = 0xca451a4e;
constexpr std::uint32_t kZfsMagic = 0x2fc12fc1;
// ext2, ext3 and ext4 alike.
constexpr std::uint32_t kExtMagic = 0xef53;
// st_blocks counts units of 512 bytes, whatever the file system's blocks.
constexpr std::uint64_t kStatBlockBytes = 512;

bool is_copy_on_write(const struct statfs& fs) noexcept {
  const auto type = static_cast<std::uint32_t>(fs.f_type);
  return type == kBtrfsMagic || type == kBcachefsMagic || type == kZfsMagic;
}

// Whether the file system's free space and the file's own blocks, which a
// truncating writer gives up first, hold `size` bytes. A file system that
// reports no sizes at all is taken at its word that it has room.
bool fits_once_given_up(const struct statfs& fs, const struct stat& old, off_t size) noexcept {
  if (fs.f_blocks == 0 || fs.f_frsize <= 0) return true;
  const auto block = static_cast<std::uint64_t>(fs.f_frsize);
  // Root may use the blocks an ext file system keeps back for it. Elsewhere
  // the free blocks may count room that no file's data can take (Btrfs
  // counts room kept for its metadata).
  const bool may_use_reserve =
      static_cast<std::uint32_t>(fs.f_type) == kExtMagic && ::geteuid() == 0;
  const std::uint64_t free_blocks = may_use_reserve ? fs.f_bfree : fs.f_bavail;
  const std::uint64_t available =
      free_blocks * block + static_cast<std::uint64_t>(old.st_blocks) * kStatBlockBytes;
  const std::uint64_t needed = (static_cast<std::uint64_t>(size) + block - 1) / block * block;
  return available >= needed;
}

enum class Claim { kHeld, kCannotReserve, kNoSpace };

// Refusals that say the file system cannot reserve blocks at all.
bool cannot_reserve(int code) noexcept {
  return code == EOPNOTSUPP || code == ENOSYS || code == EINVAL;
}

// Reserves the blocks that writing `size` bytes over the old content needs
// besides those the file holds: those past its end, or every one of them
// in a file with holes. Claiming blocks the file already has would gain
// nothing, and XFS refuses such a claim when its free space alone is
// short. A full quota or a failing device throws, anything held given back.
Claim claim_missing_blocks(int fd, const struct stat& old, off_t size) {
  const bool has_holes = static_cast<std::uint64_t>(old.st_blocks) * kStatBlockBytes <
                         static_cast<std::uint64_t>(old.st_size);
  const off_t from = has_holes ? 0 : old.st_size;
  if (size <= from) return Claim::kHeld;  // fallocate refuses an empty range
  int status;
  do {
    status = ::fallocate(fd, FALLOC_FL_KEEP_SIZE, from, size - from);
  } while (status != 0 && errno == EINTR);
  if (status == 0) return Claim::kHeld;
  const int error = errno;
  if (cannot_reserve(error)) return Claim::kCannotReserve;
  give_back_blocks_past_end(fd);  // what a claim cut short holds
  if (error == ENOSPC) return Claim::kNoSpace;
  throw IoError::from_errno(error);  // a full quota, a failing device
}

}  // namespace

void give_back_blocks_past_end(int fd) noexcept {
  struct stat st;
  if (::fstat(fd, &st) == 0) (void)::ftruncate(fd, st.st_size);
}

Overwrite plan_overwrite(int fd, off_t size) {
  struct stat old;
  struct statfs fs;
  if (::fstat(fd, &old) != 0 || ::fstatfs(fd, &fs) != 0) throw_errno();
  const bool copy_on_write = is_copy_on_write(fs);
  const Overwrite usual = copy_on_write ? Overwrite::kFromEmpty : Overwrite::kOverTheOld;
  switch (claim_missing_blocks(fd, old, size)) {
    case Claim::kHeld:
      return usual;
    case Claim::kCannotReserve:
      if (!fits_once_given_up(fs, old, size)) throw IoError::from_errno(ENOSPC);
      return usual;
    case Claim::kNoSpace:
      // A copy-on-write file system reserves what a claim asks, no more: a
      // truncating writer would find no more room than the claim did.
      if (copy_on_write || !fits_once_given_up(fs, old, size)) {
        throw IoError::from_errno(ENOSPC);
      }
      return Overwrite::kFromEmpty;
  }
  return usual;
}

}  // namespace tesrak::detail
