// Family labels and the reference profile table.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cstdlib>
#include <iomanip>
#include <limits>
#include <sstream>
#include <thread>
#include <vector>

#include "classify/reference_table.hpp"
#include "tesrak/classifier.hpp"

namespace tesrak {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(Labels, IgnoreStreamWidthFillAndPrecision) {
  std::ostringstream os;
  os << std::setw(10) << std::setfill('*') << Distribution::LogNormal << '|' << std::left
     << std::setw(12) << Distribution::Unknown << '|' << std::setprecision(2)
     << Distribution::BiNormal;
  // Neither padded nor leaving the width behind for the next item.
  EXPECT_EQ(os.str(), "LogNormal|Unknown|BiNormal");
}

TEST(ReferenceTable, MatchesKnownSlotsIncreasesAndPadsWithZeros) {
  const std::size_t slots[] = {0, 12, 24, 25, 37, 49};
  const float known[kFamilyCount][6] = {
      {-2.3393f, -0.6782f, -0.0252f, 0.0252f, 0.6782f, 2.3393f},
      {-1.4412f, -0.7353f, -0.0294f, 0.0294f, 0.7353f, 1.4412f},
      {-3.4333f, -0.6083f, -0.0177f, 0.0177f, 0.6083f, 3.4333f},
      {-0.7734f, -0.4205f, -0.0212f, 0.0218f, 0.8255f, 7.9204f},
      {-1.7209f, -0.7876f, -0.0509f, 0.0509f, 0.7876f, 1.7209f},
  };
  for (std::size_t k = 0; k < kFamilyCount; ++k) {
    const auto& row = ref_profiles()[k];
    SCOPED_TRACE(label(static_cast<Distribution>(k)));
    for (std::size_t s = 0; s < 6; ++s) EXPECT_NEAR(row[slots[s]], known[k][s], 5e-5f) << slots[s];
    for (std::size_t i = 1; i < kProfileLevels; ++i) EXPECT_LT(row[i - 1], row[i]) << i;
    for (std::size_t i = kProfileLevels; i < kProfileSlots; ++i) EXPECT_EQ(row[i], 0.0f);
    if (static_cast<Distribution>(k) == Distribution::LogNormal) continue;
    // The levels themselves are rounded asymmetrically, so compare loosely.
    for (std::size_t i = 0; i < kProfileLevels / 2; ++i) {
      EXPECT_NEAR(row[kProfileLevels - 1 - i], -row[i], 1e-5f) << i;
    }
  }
}

std::atomic<int> counted_builds{0};

ReferenceTable counted_build() {
  counted_builds.fetch_add(1);
  return detail::build_reference_table();
}

// Runs in a fresh process. Cells without a shape are Unknown and leave the
// table unbuilt; threads released together then all get the same table,
// built once (by the counting builder they pass, so by none before them),
// the one ref_profiles() lends out, and equal to a fresh build.
bool table_is_built_once_and_only_when_needed() {
  const std::vector<std::uint32_t> w = {4, 4, 4};
  const std::vector<float> flat = {2.5f, 2.5f, 2.5f}, narrow = {1.0f, 1.0000001f, 1.0000002f};
  const bool unknown = analyze_element({}, {}, 0.0f, kInf, -kInf) == Distribution::Unknown &&
                       analyze_element(flat, w, 12.0f, 2.5f, 2.5f) == Distribution::Unknown &&
                       analyze_element(narrow, w, 12.0f, 1.0f, narrow[2]) == Distribution::Unknown;
  constexpr int kThreads = 8;
  std::barrier start(kThreads);
  std::vector<const ReferenceTable*> seen(kThreads);
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        seen[t] = &detail::shared_reference_table(counted_build);
      });
    }
  }
  return unknown && std::count(seen.begin(), seen.end(), seen[0]) == kThreads &&
         counted_builds.load() == 1 && seen[0] == &ref_profiles() &&
         *seen[0] == detail::build_reference_table();
}

TEST(ReferenceTable, IsBuiltOnceAndOnlyForACellWithAShape) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(table_is_built_once_and_only_when_needed() ? 0 : 1),
              ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace tesrak
