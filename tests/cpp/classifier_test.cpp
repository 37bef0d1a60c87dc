// Classifying one cell, and every cell of a digest.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "classify/nearest_family.hpp"
#include "tesrak/classifier.hpp"
#include "tesrak/errors.hpp"

namespace tesrak {
namespace {

using detail::Profile;

constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(AnalyzeElement, AProfileEqualToARowGetsItsFamilyAndANaNSpreadTheFirst) {
  const ReferenceTable& table = ref_profiles();
  for (std::size_t k = 0; k < kFamilyCount; ++k) {
    EXPECT_EQ(detail::nearest_family(table[k], table), static_cast<Distribution>(k));
  }
  // Median, hi and lo all infinite: the spread is NaN, every distance too.
  EXPECT_EQ(analyze_element(std::vector{kInf}, std::vector{3u}, 3.0f, 1.0f, kInf),
            Distribution::Normal);
}

TEST(NearestFamily, TiesGoToTheLowerCodeAndTheThresholdIsInclusive) {
  ReferenceTable table{};
  for (auto& row : table) row[0] = 100.0f;
  table[4][0] = table[2][0] = 10.8f;
  EXPECT_EQ(detail::nearest_family(Profile{}, table), Distribution::Laplace);
  table[2][0] = table[4][0] = std::nextafter(10.8f, kInf);
  EXPECT_EQ(detail::nearest_family(Profile{}, table), Distribution::Unknown);
}

TEST(ProfileDistance, SumsEachLaneInOrderThenTheLanesInTwoHalves) {
  const float big = 16777216.0f;  // 2^24: adding 1 alone is lost, adding 2 is not
  Profile a{big};
  for (std::size_t j = 4; j < 8; ++j) a[j] = 1.0f;  // S4..S7 = 1 each, summed first
  EXPECT_EQ(detail::profile_distance(a, Profile{}), big + 4.0f);
  Profile b{big};
  b[8] = b[16] = -1.0f;  // the same lane: each 1 is lost after 2^24
  EXPECT_EQ(detail::profile_distance(Profile{}, b), big);
}

TEST(Analyze, CorruptCentroidCountsAreRefusedBeforeAnyCellIsRead) {
  const auto analyze_broken = [](auto&& breakage) {
    IntDigest d({4}, 1);
    d.update(std::vector<std::int32_t>{1, 2, 3, 4});
    breakage(d);
    return d.analyze();
  };
  EXPECT_THROW(analyze_broken([](IntDigest& d) { d.n_centroids[3] = d.max_centroids + 1; }),
               EngineError);
  EXPECT_THROW(analyze_broken([](IntDigest& d) { d.max_centroids = 0; }), EngineError);
  // One weight short of the 4 cells x 16 slots.
  EXPECT_THROW(analyze_broken([](IntDigest& d) { d.centroids_weights.resize(63); }), EngineError);
  EXPECT_THROW(analyze_broken([](IntDigest& d) { d.maxs.pop_back(); }), EngineError);
  EXPECT_THROW(analyze_broken([](IntDigest& d) { d.max_centroids = std::uint64_t{1} << 63; }),
               EngineError);
  EXPECT_EQ(analyze_broken([](IntDigest&) {}).size(), 4u);
}

}  // namespace
}  // namespace tesrak
