// The memory limits found for the process, and the list that starts as
// untouched pages. What a user sees of them (refusals, untouched pages) is
// tested from Python, in capped child processes; here are tested only the
// refusal that the machine's memory alone makes, where the cgroup limit
// that could bind first is known, and the one that a soft limit lowered in
// this process makes.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "sketch/digest_layout.hpp"
#include "support/memory_budget.hpp"
#include "test_support.hpp"
#include "tesrak/zeroed_list.hpp"

namespace tesrak {
namespace {

namespace fs = std::filesystem;

class CgroupLimits : public testing::TempDirTest {
 protected:
  // Writes `value` to the file at `relative` below the fake tree.
  void limit(const std::string& relative, const std::string& value) {
    const fs::path file = dir_ / relative;
    fs::create_directories(file.parent_path());
    std::ofstream(file) << value << "\n";
  }
  std::string mount(const std::string& top, const std::string& point, const std::string& type,
                    const std::string& options) {
    return "35 31 0:32 " + top + " " + (dir_ / point).string() + " rw,relatime - " + type + " " +
           type + " " + options + "\n";
  }
};

TEST_F(CgroupLimits, TheTightestLimitAlongTheCgroupAndItsAncestorsBinds) {
  limit("v2/app/job/memory.max", "max");
  limit("v2/app/memory.max", "1073741824");
  limit("v2/memory.max", "4294967296");
  const std::string v2 = mount("/", "v2", "cgroup2", "rw");
  EXPECT_EQ(detail::cgroup_memory_limit(v2, "0::/app/job\n"), std::uint64_t{1} << 30);
  EXPECT_EQ(detail::cgroup_memory_limit(v2, "0::/\n"), std::uint64_t{4} << 30);

  // cgroup v1: only the memory controller's hierarchy counts; its
  // "unlimited" is a huge number.
  limit("v1/memory/batch/memory.limit_in_bytes", "536870912");
  limit("v1/memory/memory.limit_in_bytes", "9223372036854771712");
  limit("v1/cpu/batch/memory.limit_in_bytes", "1");
  const std::string v1 = mount("/", "v1/memory", "cgroup", "rw,memory") +
                         mount("/", "v1/cpu", "cgroup", "rw,cpu,cpuacct");
  EXPECT_EQ(detail::cgroup_memory_limit(v1, "5:cpu,cpuacct:/batch\n4:memory:/batch\n"),
            std::uint64_t{512} << 20);
  EXPECT_EQ(detail::cgroup_memory_limit(v1, "4:memory:/\n"), 9223372036854771712u);
}

TEST_F(CgroupLimits, MountsOfASubtreeAndEscapedPathsAreFollowed) {
  // A container sees its own cgroup mounted at the top.
  limit("v1 a/memory.limit_in_bytes", "268435456");
  const std::string container = "35 31 0:32 /docker/c1 " + (dir_ / "v1\\040a").string() +
                                " rw - cgroup cgroup rw,memory\n";
  EXPECT_EQ(detail::cgroup_memory_limit(container, "4:memory:/docker/c1\n"),
            std::uint64_t{256} << 20);
  EXPECT_EQ(detail::cgroup_memory_limit(container, "4:memory:/elsewhere\n"), std::nullopt);
  // No file, no number, no cgroup mount: no limit.
  limit("v2/memory.max", "max");
  EXPECT_EQ(detail::cgroup_memory_limit(mount("/", "v2", "cgroup2", "rw"), "0::/\n"), std::nullopt);
  EXPECT_EQ(detail::cgroup_memory_limit("", "0::/\n"), std::nullopt);
}

std::string text_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Raises a resource's soft limit to its hard one while it lives.
class RaisedLimit {
 public:
  explicit RaisedLimit(int resource) : resource_(resource) {
    ::getrlimit(resource_, &saved_);
    rlimit raised = saved_;
    raised.rlim_cur = raised.rlim_max;
    ::setrlimit(resource_, &raised);
  }
  RaisedLimit(const RaisedLimit&) = delete;
  RaisedLimit& operator=(const RaisedLimit&) = delete;
  ~RaisedLimit() { ::setrlimit(resource_, &saved_); }

  std::uint64_t hard() const {
    return saved_.rlim_max == RLIM_INFINITY ? UINT64_MAX : std::uint64_t{saved_.rlim_max};
  }

 private:
  int resource_;
  rlimit saved_{};
};

// A digest just larger than the machine's memory is refused at once, even
// where the address space and the cgroup would hold it: its pages are not
// touched until its first flush, so nothing else would stop it before the
// machine ran out. Only a hard limit or a cgroup limit that binds before
// the machine's memory leaves nothing to see.
TEST(UsableMemory, TheMachinesMemoryBindsWhenNoLimitIsTighter) {
  const RaisedLimit address_space(RLIMIT_AS);
  const RaisedLimit data(RLIMIT_DATA);
  const std::uint64_t physical = std::uint64_t(::sysconf(_SC_PHYS_PAGES)) *
                                 std::uint64_t(::sysconf(_SC_PAGESIZE));
  std::uint64_t ceiling = std::min(address_space.hard(), data.hard());
  const auto cgroup =
      detail::cgroup_memory_limit(text_of("/proc/self/mountinfo"), text_of("/proc/self/cgroup"));
  if (cgroup) ceiling = std::min(ceiling, *cgroup);
  // One cell takes 56 bytes per unit of compression, and 108 besides.
  const std::uint64_t compression = physical / 56 + 1;
  const std::uint64_t bytes = detail::DigestLayout::of(1, compression)->bytes(1);
  if (bytes > ceiling) {
    GTEST_SKIP() << "a hard or cgroup limit of " << ceiling << " bytes binds before the "
                 << physical << " bytes of the machine's memory";
  }
  EXPECT_EQ(detail::usable_memory(), physical);
  EXPECT_THROW(FloatDigest({1}, compression), std::bad_alloc);
  EXPECT_THROW(FloatDigest({0}, compression).merge_all(), std::bad_alloc);
}

// Lowers a resource's soft limit, below its hard one, while it lives.
class LoweredLimit {
 public:
  LoweredLimit(int resource, std::uint64_t soft) : resource_(resource) {
    ::getrlimit(resource_, &saved_);
    rlimit lowered = saved_;
    lowered.rlim_cur = static_cast<rlim_t>(soft);
    lowered_ = ::setrlimit(resource_, &lowered) == 0;
  }
  LoweredLimit(const LoweredLimit&) = delete;
  LoweredLimit& operator=(const LoweredLimit&) = delete;
  ~LoweredLimit() { ::setrlimit(resource_, &saved_); }

  bool lowered() const { return lowered_; }

 private:
  int resource_;
  rlimit saved_{};
  bool lowered_ = false;
};

// A "Vm...: N kB" line of /proc/self/status, in bytes; 0 when missing.
std::uint64_t status_bytes(const std::string& field) {
  std::istringstream status(text_of("/proc/self/status"));
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with(field + ":")) {
      return std::uint64_t{std::stoull(line.substr(field.size() + 1))} * 1024;
    }
  }
  return 0;
}

// A soft limit with ample room above what the process uses now, so that
// the test itself keeps running under it; an odd number of bytes, so that
// no page or round size can pass for it.
std::uint64_t soft_limit_above(std::uint64_t in_use) {
  constexpr std::uint64_t kAtLeast = std::uint64_t{2} << 30;
  constexpr std::uint64_t kOddBytes = 12345;
  return std::max(2 * in_use, kAtLeast) + kOddBytes;
}

// A limit whose soft value is lowered, the status field that tells how
// much of it the process uses, and the other limit, raised out of the way.
struct LimitCase {
  const char* name;
  int lowered, other;
  const char* in_use;
};

void PrintTo(const LimitCase& c, std::ostream* out) { *out << c.name; }

class SoftLimitBelowItsHardOne : public ::testing::TestWithParam<LimitCase> {};

// The soft limit is what the kernel enforces: the hard one only bounds how
// far the process may raise it. A lowered soft limit thus binds at exactly
// its value, and a request just past it is refused while one at it is not.
TEST_P(SoftLimitBelowItsHardOne, BindsAtExactlyItsValue) {
  const LimitCase& c = GetParam();
  const RaisedLimit other(c.other);
  const RaisedLimit to_hard(c.lowered);
  const std::uint64_t without_it = detail::usable_memory();
  const std::uint64_t in_use = status_bytes(c.in_use);
  const std::uint64_t soft = soft_limit_above(in_use);
  if (soft >= without_it) {
    GTEST_SKIP() << "the machine's memory, a hard or a cgroup limit of " << without_it
                 << " bytes leaves no room for a soft limit of " << soft
                 << " bytes, well above the " << in_use << " bytes of " << c.in_use
                 << " this process has";
  }
  const LoweredLimit lowered(c.lowered, soft);
  ASSERT_TRUE(lowered.lowered());
  EXPECT_EQ(detail::usable_memory(), soft);
  const std::vector<std::pair<std::uint64_t, bool>> requests = {
      {soft - 1, true}, {soft, true}, {soft + 1, false}};
  for (const auto& [bytes, fits] : requests) {
    SCOPED_TRACE(bytes);
    EXPECT_EQ(detail::fits_in_usable_memory(bytes), fits);
    if (fits) {
      EXPECT_NO_THROW(detail::refuse_beyond_usable_memory(bytes));
    } else {
      EXPECT_THROW(detail::refuse_beyond_usable_memory(bytes), std::bad_alloc);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    UsableMemory, SoftLimitBelowItsHardOne,
    ::testing::Values(LimitCase{"AddressSpace", RLIMIT_AS, RLIMIT_DATA, "VmSize"},
                      LimitCase{"Data", RLIMIT_DATA, RLIMIT_AS, "VmData"}),
    [](const ::testing::TestParamInfo<LimitCase>& info) { return std::string(info.param.name); });

TEST(ZeroedList, GrowsWithZerosAndCopiesOnItsOwn) {
  ZeroedList<std::uint32_t> list(3);
  EXPECT_EQ(list, (std::vector<std::uint32_t>{0, 0, 0}));
  list[2] = 7;
  list.resize(1);
  list.resize(4);  // within its room: the entries beyond the old end are zero again
  EXPECT_EQ(list, (std::vector<std::uint32_t>{0, 0, 0, 0}));
  list[0] = 5;
  list.resize(100000);  // beyond it: new memory
  EXPECT_EQ(list[0], 5u);
  EXPECT_EQ(list[99999], 0u);

  ZeroedList<std::uint32_t> copy = list;
  copy[0] = 6;
  EXPECT_EQ(list[0], 5u);
  EXPECT_FALSE(list == copy);
  ZeroedList<std::uint32_t> moved = std::move(copy);
  EXPECT_EQ(moved[0], 6u);
}

}  // namespace
}  // namespace tesrak
