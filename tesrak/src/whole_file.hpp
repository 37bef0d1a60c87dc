#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tesrak::detail {

// Throws IoError (invalid input) when `path` holds a NUL byte, which no
// file name can contain.
void refuse_nul_in_path(const std::string& path);

// The whole content of the file at `path`. Throws IoError from errno.
std::vector<std::uint8_t> read_whole_file(const std::string& path);

// Makes `bytes` the whole content of the file at `path`, creating it if
// missing. A regular file (or a missing one) is replaced atomically: the
// bytes go to a temporary file in the same directory, which is synced and
// renamed over the target, so readers see the old file or the new one and a
// failure leaves the old one intact. A replaced file keeps its permission
// bits; a new one gets 0666 less the umask. A symbolic link is followed.
// Anything else (a device, a pipe) is written in place. Throws IoError from
// errno; the temporary file never outlives the call.
void replace_whole_file(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace tesrak::detail
