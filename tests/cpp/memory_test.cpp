// The memory a digest may take: the limits found for the process, refusals
// before anything is allocated, and lists that start as untouched pages.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "memory_budget.hpp"
#include "tesrak/tensor_digest.hpp"
#include "tesrak/zeroed_list.hpp"

namespace tesrak {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;

std::uint64_t physical_memory() {
  return static_cast<std::uint64_t>(::sysconf(_SC_PHYS_PAGES)) *
         static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

std::uint64_t resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  std::uint64_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

class CgroupLimits : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tesrak-cgroup-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override { fs::remove_all(root_); }

  // Writes `value` to the file at `relative` below the fake tree.
  void limit(const std::string& relative, const std::string& value) {
    const fs::path file = root_ / relative;
    fs::create_directories(file.parent_path());
    std::ofstream(file) << value << "\n";
  }
  std::string mount(const std::string& top, const std::string& point, const std::string& type,
                    const std::string& options) {
    return "35 31 0:32 " + top + " " + (root_ / point).string() + " rw,relatime - " + type + " " +
           type + " " + options + "\n";
  }
  fs::path root_;
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
  const std::string container = "35 31 0:32 /docker/c1 " + (root_ / "v1\\040a").string() +
                                " rw - cgroup cgroup rw,memory\n";
  EXPECT_EQ(detail::cgroup_memory_limit(container, "4:memory:/docker/c1\n"),
            std::uint64_t{256} << 20);
  EXPECT_EQ(detail::cgroup_memory_limit(container, "4:memory:/elsewhere\n"), std::nullopt);
  // No file, no number, no cgroup mount: no limit.
  limit("v2/memory.max", "max");
  EXPECT_EQ(detail::cgroup_memory_limit(mount("/", "v2", "cgroup2", "rw"), "0::/\n"), std::nullopt);
  EXPECT_EQ(detail::cgroup_memory_limit("", "0::/\n"), std::nullopt);
}

TEST(MemoryBudget, DigestsBeyondTheMachineAreRefusedBeforeAnyAllocation) {
  const std::uint64_t physical = physical_memory();
  EXPECT_LE(detail::usable_memory(), physical);
  EXPECT_THROW(detail::refuse_beyond_usable_memory(physical + 1), std::bad_alloc);
  EXPECT_NO_THROW(detail::refuse_beyond_usable_memory(64 * kMiB));

  // 56 GB of lists, each of which alone the kernel would map.
  EXPECT_THROW(FloatDigest({1}, 1'000'000'000), std::bad_alloc);
  FloatDigest none({0}, 1'000'000'000);
  EXPECT_THROW(none.merge_all(), std::bad_alloc);
  const std::uint64_t channel[] = {3};
  EXPECT_THROW(none.merge_channels(channel), std::bad_alloc);
}

#ifndef __SANITIZE_ADDRESS__  // the sanitizer's heap writes what it hands out
TEST(MemoryBudget, ListsStartAsPagesNotYetTouched) {
  const std::uint64_t before = resident_bytes();
  IntDigest d({1024, 1024}, 50);  // 2.9 GB of lists
  EXPECT_LT(resident_bytes() - before, 64 * kMiB);
  EXPECT_EQ(d.centroids_weights[d.centroids_weights.size() - 1], 0u);
  EXPECT_EQ(d.maxs[12345], -2147483647 - 1);
}
#endif

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
  list.pop_back();
  EXPECT_EQ(list.size(), 99999u);
  EXPECT_FALSE(list == copy);
  ZeroedList<std::uint32_t> moved = std::move(copy);
  EXPECT_EQ(moved[0], 6u);
  EXPECT_TRUE(copy.empty());
}

}  // namespace
}  // namespace tesrak
