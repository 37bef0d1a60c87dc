#pragma once

#include <functional>
#include <string>

#include "storage/byte_stream.hpp"
#include "tesrak/wait_hook.hpp"

namespace tesrak::detail {

// Makes what `produce` puts into the sink it is given the whole content of
// the file at `path`, creating the file if missing. Symbolic links are
// followed to the file they finally name, which is created if it does not
// exist. A path that leads through a link of /proc to an open file
// (/dev/stdout, /dev/fd/N, /proc/PID/fd/N) is opened as it is and the file
// written in place: such a link's text names no path.
//
// A regular file (or a missing one) is replaced atomically: the bytes go to
// a temporary file in the same directory, which is synced and renamed over
// the target, so readers see the old file or the new one and a failure
// leaves the old one intact. Where the file system allows, the temporary
// file has no name until it is complete (O_TMPFILE), so that even a killed
// process leaves nothing behind; elsewhere it is named, and removed again
// on failure. The replaced file's permission bits, and its owner and group
// where the process may set them, carry over; a new file gets 0666 less
// the umask.
//
// The target is written in place instead (truncated, written and synced)
// when it has more than one hard link, which a rename would split, or when
// the directory refuses a new file but the target itself can be written.
// When the rename is refused (EBUSY, EPERM, EACCES) for a target that could
// be opened for writing, a file mounted over the name or another user's
// file in a sticky directory, the finished temporary file loses its name
// again and is copied into the target in place, once it is sure to fit
// (see plan_overwrite): a full disk or quota then fails the save with the
// old target whole, and a save that fits once the old content is given up
// (a truncating writer's way) is not refused.
// Anything else (a device, a pipe) is written in place too, unsynced. It is
// opened without waiting, so a FIFO that no reader has open fails at once
// (ENXIO); a reader that does not take the bytes yet is waited for in
// slices handed to `hook`, which may throw to give up.
//
// Throws IoError from errno, for what failed on the target; the temporary
// file never outlives the call.
void replace_whole_file(const std::string& path, const std::function<void(ByteSink&)>& produce,
                        const WaitHook& hook = {});

}  // namespace tesrak::detail
