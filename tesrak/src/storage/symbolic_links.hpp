#pragma once

#include <string>

namespace tesrak::detail {

// The directory part of `path` with its trailing slash, or "" for the
// working directory.
std::string directory_of(const std::string& path);

// Where the symbolic links of a path lead.
struct LinkEnd {
  std::string path;
  // A link of /proc was met on the way: `path` is then the path as given,
  // to be opened as it is, since the text of such a link names no path.
  bool through_proc;
};

// `path` with symbolic links followed, one after another, to the path they
// finally name, which need not exist: saving through a link writes the
// file it leads to, even a file yet to be made, and leaves the link. A link
// of /proc to an open file (/dev/stdout's last hop, /proc/self/fd/N) is
// not followed. Throws IoError (ELOOP) after as many hops as the kernel
// takes, or from errno.
LinkEnd follow_links(const std::string& path);

}  // namespace tesrak::detail
