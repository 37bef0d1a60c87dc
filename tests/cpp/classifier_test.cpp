// Classifying one cell, and every cell of a digest.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "nearest_family.hpp"
#include "reference_table.hpp"
#include "tesrak/classifier.hpp"
#include "tesrak/errors.hpp"
#include "tesrak/quantile_rule.hpp"

namespace tesrak {
namespace {

using detail::Profile;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// A cell of weight-1 centroids whose quantile rule answers exactly `value` at
// each given level: with 1000 points the level q lands on points 1000q - 1
// and 1000q, and the levels the classifier asks are 10 points apart.
struct PointCell {
  static constexpr std::size_t kPoints = 1000;
  std::vector<float> means = std::vector<float>(kPoints, kNaN);
  std::vector<std::uint32_t> weights = std::vector<std::uint32_t>(kPoints, 1);

  explicit PointCell(const std::vector<std::pair<float, float>>& level_values) {
    for (auto [level, value] : level_values) {
      const auto k = static_cast<std::size_t>(std::lround(level * kPoints));
      means[k - 1] = means[k] = value;
    }
    // The points between the asked ones repeat their left neighbour.
    float last = *std::find_if(means.begin(), means.end(), [](float m) { return !std::isnan(m); });
    for (float& m : means) last = m = std::isnan(m) ? last : m;
    for (auto [level, value] : level_values) EXPECT_EQ(quantile(level), value) << level;
  }
  PointCell moved(float scale, float shift) const {
    PointCell copy = *this;
    for (float& m : copy.means) m = m * scale + shift;
    return copy;
  }
  float quantile(float q) const {
    return quantile_from_centroids(means, weights, kPoints, means.front(), means.back(), q);
  }
  Distribution classify() const {
    return analyze_element(means, weights, kPoints, means.front(), means.back());
  }
};

// A cell whose standardised profile is exactly `row`: median 0 and a
// half-spread of exactly 1, with hi and lo placed between the neighbouring
// profile levels.
PointCell cell_with_profile(const Profile& row) {
  const float upper_room = std::min(row[42], row[8] + 2.0f);  // levels 0.85, 0.17
  const float lower_room = std::max(row[41], row[7] + 2.0f);  // levels 0.83, 0.15
  const float hi = std::round((upper_room + lower_room) * 256.0f) / 512.0f;  // dyadic: hi - lo is exact
  EXPECT_TRUE(lower_room <= hi && hi <= upper_room);
  std::vector<std::pair<float, float>> levels = {{0.5f, 0.0f}, {0.84f, hi}, {0.16f, hi - 2.0f}};
  for (std::size_t i = 0; i < kProfileLevels; ++i) {
    levels.emplace_back(static_cast<float>(2 * i + 1) / 100.0f, row[i]);
  }
  return PointCell(levels);
}

TEST(AnalyzeElement, ACellShapedLikeARowGetsThatFamilyWhateverItsScale) {
  const ReferenceTable& table = ref_profiles();
  for (std::size_t k = 0; k < kFamilyCount; ++k) {
    const PointCell cell = cell_with_profile(table[k]);
    EXPECT_EQ(cell.classify(), static_cast<Distribution>(k));
    EXPECT_EQ(cell.moved(3.0f, -40.0f).classify(), static_cast<Distribution>(k));
    EXPECT_EQ(cell.moved(0.01f, 5.0f).classify(), static_cast<Distribution>(k));
  }
}

TEST(AnalyzeElement, NaNSpreadJudgesEveryDistanceNaNAndNamesTheFirstFamily) {
  const std::vector<float> means = {kInf};
  const std::vector<std::uint32_t> weights = {3};
  EXPECT_EQ(analyze_element(means, weights, 3.0f, 1.0f, kInf), Distribution::Normal);
}

// Runs in a fresh process: true when cells without a shape were judged
// Unknown without building the table, and the first cell with one built it.
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

// A table whose rows are all far from the zero profile except as set.
ReferenceTable far_table() {  // every row at distance 100
  ReferenceTable table{};
  for (auto& row : table) row[0] = 100.0f;
  return table;
}

TEST(NearestFamily, TiesGoToTheLowerCodeAndTheThresholdIsInclusive) {
  const Profile zero{};
  ReferenceTable table = far_table();
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
  ReferenceTable table = far_table();
  table[0][0] = kNaN;
  for (std::size_t k = 1; k < kFamilyCount; ++k) table[k][0] = static_cast<float>(k);
  EXPECT_EQ(detail::nearest_family(zero, table), Distribution::Uniform);
  for (std::size_t k = 1; k < kFamilyCount; ++k) table[k][0] = kInf;
  EXPECT_EQ(detail::nearest_family(zero, table), Distribution::Unknown);  // inf ranks below NaN
}

TEST(ProfileDistance, SumsEachLaneInOrderThenTheLanesInTwoHalves) {
  const Profile zero{};
  const float big = 16777216.0f;  // 2^24: adding 1 alone is lost, adding 2 is not
  Profile a{};
  a[0] = big;
  for (std::size_t j = 4; j < 8; ++j) a[j] = 1.0f;  // S4..S7 = 1 each, summed first
  EXPECT_EQ(detail::profile_distance(a, zero), big + 4.0f);
  Profile b{};
  b[0] = big;
  b[8] = b[16] = -1.0f;  // the same lane: each 1 is lost after 2^24
  EXPECT_EQ(detail::profile_distance(zero, b), big);
  Profile c{};
  c[0] = big;
  for (std::size_t j = 1; j < kProfileSlots; j += 8) c[j] = 1.0f;  // S1 = 7, rounds up
  EXPECT_EQ(detail::profile_distance(c, zero), big + 8.0f);
}

// Draws from each family, one family per cell, plus a constant cell.
std::vector<float> sample_row(std::mt19937_64& rng) {
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::exponential_distribution<float> exponential(1.0f);
  std::lognormal_distribution<float> lognormal(0.0f, 1.0f);
  const float sign = std::bernoulli_distribution(0.5)(rng) ? 1.0f : -1.0f;
  return {normal(rng),
          uniform(rng),
          sign * exponential(rng),
          lognormal(rng),
          sign * 0.866f + 0.5f * normal(rng),
          7.0f};
}

const std::vector<Distribution> kSampledFamilies = {
    Distribution::Normal,    Distribution::Uniform,  Distribution::Laplace,
    Distribution::LogNormal, Distribution::BiNormal, Distribution::Unknown};

TEST(Analyze, SampledFamiliesAreRecognisedInBothElementTypes) {
  std::mt19937_64 rng(20240611);
  FloatDigest floats({6}, 50);
  IntDigest ints({2, 3}, 50);
  for (int update = 0; update < 20000; ++update) {
    const std::vector<float> row = sample_row(rng);
    std::vector<std::int32_t> scaled;
    for (float v : row) scaled.push_back(static_cast<std::int32_t>(std::lround(v * 1000.0f)));
    floats.update(row);
    ints.update(scaled);
  }
  EXPECT_EQ(floats.analyze(), kSampledFamilies);
  EXPECT_EQ(ints.analyze(), kSampledFamilies);
}

TEST(Analyze, BufferedRowsCountAsIfFlushedAndNoCellsGiveNoCodes) {
  std::mt19937_64 rng(7);
  FloatDigest pending({6}, 50);
  for (int update = 0; update < 250; ++update) pending.update(sample_row(rng));
  ASSERT_EQ(pending.n_buffered, 50u);
  FloatDigest flushed = pending;
  flushed.flush();
  EXPECT_EQ(pending.analyze(), flushed.analyze());
  EXPECT_EQ(pending.n_buffered, 0u);
  EXPECT_TRUE(FloatDigest({4, 0}, 10).analyze().empty());
}

TEST(Analyze, CorruptCentroidCountsAreRefusedBeforeAnyCellIsRead) {
  const auto corrupt = [](auto&& breakage) {
    IntDigest d({4}, 1);
    d.update(std::vector<std::int32_t>{1, 2, 3, 4});
    breakage(d);
    return d;
  };
  EXPECT_THROW(corrupt([](IntDigest& d) { d.n_centroids[3] = d.max_centroids + 1; }).analyze(),
               EngineError);
  EXPECT_THROW(corrupt([](IntDigest& d) { d.max_centroids = 0; }).analyze(), EngineError);
  EXPECT_THROW(corrupt([](IntDigest& d) { d.centroids_weights.pop_back(); }).analyze(),
               EngineError);
  EXPECT_THROW(corrupt([](IntDigest& d) { d.maxs.pop_back(); }).analyze(), EngineError);
  EXPECT_THROW(corrupt([](IntDigest& d) { d.max_centroids = std::uint64_t{1} << 63; }).analyze(),
               EngineError);
  EXPECT_EQ(corrupt([](IntDigest&) {}).analyze().size(), 4u);
}

}  // namespace
}  // namespace tesrak
