#pragma once

#include <sys/types.h>

namespace tesrak::detail {

// How a file that keeps its name takes new content in place.
enum class Overwrite {
  kOverTheOld,  // written over the old bytes, whose blocks it reuses
  kFromEmpty,   // cut to nothing first, then written, as a truncating writer does
};

// Decides how the regular file open for writing as `fd` takes `size` new
// bytes, before any of its old bytes is given up. The blocks the old
// content lacks for the new one are claimed first, so that a full disk or
// quota fails the save while the old content is whole. A file system that
// writes even old bytes into fresh blocks (Btrfs and the like) gains
// nothing from writing over them: there the file starts from empty, and
// so does a file whose claim the file system refuses although its free
// space and the file's own blocks hold the new content (XFS reserves for
// the worst case). Throws IoError, with the old content whole and no
// block held past its end, when the room is not there (ENOSPC, EDQUOT) or
// the device fails the claim; a file system that cannot claim at all
// leaves the decision to its free space.
Overwrite plan_overwrite(int fd, off_t size);

// Frees the blocks a file holds past its end, as a claim leaves them when
// the bytes meant for them were not all written: cutting a file to its own
// size gives them back.
void give_back_blocks_past_end(int fd) noexcept;

}  // namespace tesrak::detail
