#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tesrak::detail {

// The most memory this process can have: the smallest of the machine's
// physical memory, the memory limit of its cgroup (the tightest along the
// cgroup's ancestors, cgroup v2 or v1) and the RLIMIT_AS and RLIMIT_DATA
// soft limits.
std::uint64_t usable_memory();

// Whether `bytes` are within usable_memory(). Requests too small to be
// worth the lookup always are.
bool fits_in_usable_memory(std::uint64_t bytes);

// Throws std::bad_alloc when `bytes` exceed usable_memory(): a request
// that would be killed on its way, instead of refused, is refused at once.
void refuse_beyond_usable_memory(std::uint64_t bytes);

// The memory limit of the cgroups named by `proc_self_cgroup` (the text of
// /proc/self/cgroup), found through the cgroup file systems listed in
// `mountinfo` (the text of /proc/self/mountinfo); none when no limit is set.
std::optional<std::uint64_t> cgroup_memory_limit(std::string_view mountinfo,
                                                 std::string_view proc_self_cgroup);

}  // namespace tesrak::detail
