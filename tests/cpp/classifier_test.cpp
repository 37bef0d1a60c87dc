// Classifying one cell, and every cell of a digest.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

#include "nearest_family.hpp"
#include "reference_table.hpp"
#include "tesrak/classifier.hpp"
#include "tesrak/errors.hpp"

namespace tesrak {
namespace {

using detail::Profile;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// 1000 weight-1 centroids: the quantile rule answers level q with point
// 1000q - 1 or 1000q, so each asked level gets both points. The row's own
// median is 0 and its half-spread exactly 1 (hi and lo are dyadic and lie
// between the neighbouring levels 0.15/0.17 and 0.83/0.85), so the cell's
// profile is exactly the row after (x - 0) / 1.
Distribution classify_cell_shaped_like(const Profile& row, float scale, float shift) {
  const float hi = std::round((std::max(row[41], row[7] + 2) + std::min(row[42], row[8] + 2)) *
                              256.0f) / 512.0f;
  std::vector<float> means(1000, kNaN);
  const auto put = [&](float level, float value) {
    const auto k = static_cast<std::size_t>(std::lround(level * 1000.0f));
    means[k - 1] = means[k] = value * scale + shift;
  };
  put(0.5f, 0.0f);
  put(0.84f, hi);
  put(0.16f, hi - 2.0f);
  for (std::size_t i = 0; i < kProfileLevels; ++i) put((2.0f * i + 1.0f) / 100.0f, row[i]);
  float last = means[9];  // points between asked ones repeat their left neighbour
  for (float& m : means) last = m = std::isnan(m) ? last : m;
  const std::vector<std::uint32_t> weights(1000, 1);
  return analyze_element(means, weights, 1000.0f, means.front(), means.back());
}

TEST(AnalyzeElement, ACellShapedLikeARowGetsThatFamilyAtAnyScale) {
  for (std::size_t k = 0; k < kFamilyCount; ++k) {
    const auto family = static_cast<Distribution>(k);
    EXPECT_EQ(classify_cell_shaped_like(ref_profiles()[k], 1.0f, 0.0f), family);
    EXPECT_EQ(classify_cell_shaped_like(ref_profiles()[k], 3.0f, -40.0f), family);
    EXPECT_EQ(classify_cell_shaped_like(ref_profiles()[k], 0.01f, 5.0f), family);
  }
}

TEST(AnalyzeElement, NaNSpreadMakesEveryDistanceNaNAndNamesTheFirstFamily) {
  const std::vector<float> means = {kInf};  // median, hi and lo all infinite
  const std::vector<std::uint32_t> weights = {3};
  EXPECT_EQ(analyze_element(means, weights, 3.0f, 1.0f, kInf), Distribution::Normal);
}

// In a fresh process: cells without a shape are Unknown and leave the table
// unbuilt; the first cell with a shape builds it.
bool shapeless_cells_leave_the_table_unbuilt() {
  const std::vector<std::uint32_t> w = {4, 4, 4};
  const std::vector<float> flat = {2.5f, 2.5f, 2.5f};
  const std::vector<float> narrow = {1.0f, 1.0000001f, 1.0000002f};
  FloatDigest fresh({3, 4}, 10);
  const bool unknown = analyze_element({}, {}, 0.0f, kInf, -kInf) == Distribution::Unknown &&
                       analyze_element(flat, w, 12.0f, 2.5f, 2.5f) == Distribution::Unknown &&
                       analyze_element(narrow, w, 12.0f, 1.0f, 1.0000002f) == Distribution::Unknown &&
                       fresh.analyze() == std::vector<Distribution>(12, Distribution::Unknown);
  const bool unbuilt = detail::shared_reference_builds() == 0;
  const std::vector<float> spread = {1.0f, 2.0f, 3.0f};
  analyze_element(spread, w, 12.0f, 0.0f, 4.0f);
  return unknown && unbuilt && detail::shared_reference_builds() == 1;
}

TEST(AnalyzeElement, CellsWithoutShapeAreUnknownAndNeverBuildTheTable) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(shapeless_cells_leave_the_table_unbuilt() ? 0 : 1),
              ::testing::ExitedWithCode(0), "");
}

TEST(NearestFamily, TiesGoToTheLowerCodeAndTheThresholdIsInclusive) {
  const Profile zero{};
  ReferenceTable table{};
  for (auto& row : table) row[0] = 100.0f;
  table[4][0] = table[2][0] = 10.8f;
  EXPECT_EQ(detail::nearest_family(zero, table), Distribution::Laplace);
  table[2][0] = table[4][0] = std::nextafter(10.8f, kInf);
  EXPECT_EQ(detail::nearest_family(zero, table), Distribution::Unknown);
  table[3][0] = 10.0f;
  table[3][53] = 1.0f;  // the padding slots count too
  EXPECT_EQ(detail::nearest_family(zero, table), Distribution::Unknown);
  table[3][53] = 0.8f;
  EXPECT_EQ(detail::nearest_family(zero, table), Distribution::LogNormal);
}

TEST(NearestFamily, RanksNaNDistancesAboveEveryNumber) {
  const Profile zero{};
  ReferenceTable table{};
  table[0][0] = kNaN;
  for (std::size_t k = 1; k < kFamilyCount; ++k) table[k][0] = static_cast<float>(k);
  EXPECT_EQ(detail::nearest_family(zero, table), Distribution::Uniform);
  for (std::size_t k = 1; k < kFamilyCount; ++k) table[k][0] = kInf;
  EXPECT_EQ(detail::nearest_family(zero, table), Distribution::Unknown);  // inf ranks below NaN
}

TEST(ProfileDistance, SumsEachLaneInOrderThenTheLanesInTwoHalves) {
  const Profile zero{};
  const float big = 16777216.0f;  // 2^24: adding 1 alone is lost, adding 2 is not
  Profile a{big};
  for (std::size_t j = 4; j < 8; ++j) a[j] = 1.0f;  // S4..S7 = 1 each, summed first
  EXPECT_EQ(detail::profile_distance(a, zero), big + 4.0f);
  Profile b{big};
  b[8] = b[16] = -1.0f;  // the same lane: each 1 is lost after 2^24
  EXPECT_EQ(detail::profile_distance(zero, b), big);
  Profile c{big};
  for (std::size_t j = 1; j < kProfileSlots; j += 8) c[j] = 1.0f;  // S1 = 7, rounds up
  EXPECT_EQ(detail::profile_distance(c, zero), big + 8.0f);
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
  EXPECT_THROW(analyze_broken([](IntDigest& d) { d.centroids_weights.pop_back(); }), EngineError);
  EXPECT_THROW(analyze_broken([](IntDigest& d) { d.maxs.pop_back(); }), EngineError);
  EXPECT_THROW(analyze_broken([](IntDigest& d) { d.max_centroids = std::uint64_t{1} << 63; }),
               EngineError);
  EXPECT_EQ(analyze_broken([](IntDigest&) {}).size(), 4u);
}

}  // namespace
}  // namespace tesrak
