#include "support/memory_budget.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iterator>
#include <limits>
#include <new>
#include <string>
#include <vector>

namespace tesrak::detail {
namespace {

constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();
// Smaller requests are not checked: looking up the limits costs more than
// such an allocation, and the allocation itself fails cleanly under the
// resource limits.
constexpr std::uint64_t kCheckedFrom = std::uint64_t{16} << 20;
// A build may set a ceiling of its own below what the machine offers: the
// fuzzing build does, so that its inputs explore the reader instead of the
// sanitizer's bookkeeping of gigabyte allocations.
#ifdef TESRAK_MEMORY_CEILING
constexpr std::uint64_t kCeiling = TESRAK_MEMORY_CEILING;
#else
constexpr std::uint64_t kCeiling = kUnlimited;
#endif

std::optional<std::string> read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

bool lists(std::string_view comma_separated, std::string_view item) {
  const std::vector<std::string_view> items = split(comma_separated, ',');
  return std::find(items.begin(), items.end(), item) != items.end();
}

// Mount paths escape blanks, newlines and backslashes as three octal digits.
std::string unescape(std::string_view field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      int code = 0;
      const auto [end, error] = std::from_chars(field.data() + i + 1, field.data() + i + 4, code, 8);
      if (error == std::errc() && end == field.data() + i + 4) {
        out.push_back(static_cast<char>(code));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

struct CgroupMount {
  bool v2;
  std::string root;   // the cgroup that the mount shows at its top
  std::string point;  // where it is mounted
};

// The cgroup v2 mounts and the cgroup v1 mounts of the memory controller.
std::vector<CgroupMount> memory_cgroup_mounts(std::string_view mountinfo) {
  std::vector<CgroupMount> mounts;
  for (std::string_view line : split(mountinfo, '\n')) {
    const std::vector<std::string_view> fields = split(line, ' ');
    const auto dash = std::find(fields.begin(), fields.end(), "-");
    if (dash - fields.begin() < 5 || fields.end() - dash < 4) continue;
    const std::string_view type = dash[1];
    const bool v2 = type == "cgroup2";
    if (!v2 && !(type == "cgroup" && lists(dash[3], "memory"))) continue;
    mounts.push_back({v2, unescape(fields[3]), unescape(fields[4])});
  }
  return mounts;
}

// A limit file's value: a byte count, or "max" for none.
std::optional<std::uint64_t> parse_limit(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// The smallest limit in `file` of the cgroup at `relative` below the mount
// and of each of its ancestors up to the mount's top: a parent's limit
// binds its children too.
std::uint64_t tightest_limit(const CgroupMount& mount, std::string relative) {
  const char* file = mount.v2 ? "/memory.max" : "/memory.limit_in_bytes";
  std::uint64_t limit = kUnlimited;
  for (;;) {
    while (!relative.empty() && relative.back() == '/') relative.pop_back();
    if (const auto text = read_text(mount.point + relative + file)) {
      if (const auto value = parse_limit(*text)) limit = std::min(limit, *value);
    }
    if (relative.empty()) return limit;
    const std::size_t slash = relative.rfind('/');
    relative.erase(slash == std::string::npos ? 0 : slash);
  }
}

std::uint64_t physical_memory() {
  const long pages = ::sysconf(_SC_PHYS_PAGES);
  const long page_size = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return kUnlimited;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

std::uint64_t soft_limit(int resource) {
  rlimit limit;
  if (::getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return kUnlimited;
  return static_cast<std::uint64_t>(limit.rlim_cur);
}

}  // namespace

std::optional<std::uint64_t> cgroup_memory_limit(std::string_view mountinfo,
                                                 std::string_view proc_self_cgroup) {
  const std::vector<CgroupMount> mounts = memory_cgroup_mounts(mountinfo);
  std::uint64_t limit = kUnlimited;
  for (std::string_view line : split(proc_self_cgroup, '\n')) {
    // hierarchy:controllers:path; the v2 hierarchy is "0" with no controllers.
    const std::size_t first = line.find(':');
    const std::size_t second = line.find(':', first == std::string_view::npos ? first : first + 1);
    if (second == std::string_view::npos) continue;
    const std::string_view hierarchy = line.substr(0, first);
    const std::string_view controllers = line.substr(first + 1, second - first - 1);
    const std::string_view path = line.substr(second + 1);
    const bool v2 = hierarchy == "0" && controllers.empty();
    if (!v2 && !lists(controllers, "memory")) continue;
    for (const CgroupMount& mount : mounts) {
      if (mount.v2 != v2) continue;
      std::string_view below = path;
      if (mount.root != "/") {
        // A mount of a cgroup below the top shows only what lies under it.
        if (below.substr(0, mount.root.size()) != mount.root) continue;
        below.remove_prefix(mount.root.size());
        if (!below.empty() && below.front() != '/') continue;
      }
      limit = std::min(limit, tightest_limit(mount, std::string(below)));
    }
  }
  if (limit == kUnlimited) return std::nullopt;
  return limit;
}

std::uint64_t usable_memory() {
  std::uint64_t usable =
      std::min({kCeiling, physical_memory(), soft_limit(RLIMIT_AS), soft_limit(RLIMIT_DATA)});
  const auto mountinfo = read_text("/proc/self/mountinfo");
  const auto cgroups = read_text("/proc/self/cgroup");
  if (mountinfo && cgroups) {
    if (const auto limit = cgroup_memory_limit(*mountinfo, *cgroups)) usable = std::min(usable, *limit);
  }
  return usable;
}

bool fits_in_usable_memory(std::uint64_t bytes) {
  return bytes < kCheckedFrom || bytes <= usable_memory();
}

void refuse_beyond_usable_memory(std::uint64_t bytes) {
  if (!fits_in_usable_memory(bytes)) throw std::bad_alloc();
}

}  // namespace tesrak::detail
