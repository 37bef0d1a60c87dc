#include "storage/symbolic_links.hpp"

#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>

#include "support/file_descriptor.hpp"
#include "tesrak/errors.hpp"

namespace tesrak::detail {
namespace {

// Symbolic links followed from one path before giving up, as the kernel does.
constexpr int kMaxLinkHops = 40;

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

}  // namespace

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

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

}  // namespace tesrak::detail
