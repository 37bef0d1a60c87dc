#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "tesrak/errors.hpp"
#include "tesrak/merge_rule.hpp"
#include "tesrak/tensor_digest.hpp"

namespace tesrak {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr std::uint64_t kHuge = std::numeric_limits<std::uint64_t>::max();

// A compression so large against a handful of values that nothing merges:
// the result's centroids are exactly the sorted input of compress.
constexpr std::uint64_t kNoMerging = 100;

struct Centroid {
  float mean;
  std::uint32_t weight;
};

// Gives cell i exactly these centroids (ascending) and extremes.
template <typename T>
void set_cell(TensorDigest<T>& d, std::uint64_t i, const std::vector<Centroid>& centroids, T min,
              T max) {
  std::uint32_t total = 0;
  for (std::size_t k = 0; k < centroids.size(); ++k) {
    d.centroids_means[i * d.max_centroids + k] = centroids[k].mean;
    d.centroids_weights[i * d.max_centroids + k] = centroids[k].weight;
    total += centroids[k].weight;
  }
  d.n_centroids[i] = centroids.size();
  d.total_weights[i] = total;
  d.mins[i] = min;
  d.maxs[i] = max;
}

template <typename T>
std::vector<float> means_of(const TensorDigest<T>& d, std::uint64_t i = 0) {
  auto first = d.centroids_means.begin() + static_cast<std::ptrdiff_t>(i * d.max_centroids);
  return {first, first + static_cast<std::ptrdiff_t>(d.n_centroids[i])};
}

template <typename T>
void expect_empty_one_cell(const TensorDigest<T>& r, std::uint64_t compression) {
  EXPECT_EQ(r.shape, std::vector<std::uint64_t>{1});
  EXPECT_EQ(r.compression, compression);
  EXPECT_EQ(r.n_centroids[0], 0u);
  EXPECT_EQ(r.total_weights[0], 0u);
  EXPECT_EQ(r.mins[0], Element<T>::fill_min);
  EXPECT_EQ(r.maxs[0], Element<T>::fill_max);
}

template <typename T>
class MergesOfBothTypes : public ::testing::Test {};
using ElementTypes = ::testing::Types<float, std::int32_t>;
TYPED_TEST_SUITE(MergesOfBothTypes, ElementTypes);

TYPED_TEST(MergesOfBothTypes, EmptyCellListFlushesAndGivesAnEmptyCell) {
  TensorDigest<TypeParam> d({3}, 2);
  d.update(std::vector<TypeParam>{1, 2, 3});
  const auto r = d.merge_cells({});
  EXPECT_EQ(d.n_buffered, 0u);
  EXPECT_EQ(d.total_weights[1], 1u);
  expect_empty_one_cell(r, 2);
}

TYPED_TEST(MergesOfBothTypes, EmptyChannelListLeavesTheBufferAlone) {
  TensorDigest<TypeParam> d({2, 2}, 2);
  d.update(std::vector<TypeParam>{1, 2, 3, 4});
  expect_empty_one_cell(d.merge_channels({}), 2);
  EXPECT_EQ(d.n_buffered, 1u);
  EXPECT_EQ(d.total_weights[0], 0u);
}

TYPED_TEST(MergesOfBothTypes, ListingACellTwiceDoublesItsTotal) {
  TensorDigest<TypeParam> d({2}, 3);
  for (int v = 1; v <= 5; ++v) d.update(std::vector<TypeParam>{TypeParam(v), TypeParam(10 * v)});
  const std::uint64_t twice[] = {1, 1};
  const auto r = d.merge_cells(twice);
  EXPECT_EQ(r.total_weights[0], 10u);
  EXPECT_EQ(r.mins[0], TypeParam(10));
  EXPECT_EQ(r.maxs[0], TypeParam(50));
}

TYPED_TEST(MergesOfBothTypes, CellsThatNeverReceivedAValueLeaveTheFillValues) {
  TensorDigest<TypeParam> d({3}, 2);
  const std::uint64_t cells[] = {0, 2};
  expect_empty_one_cell(d.merge_cells(cells), 2);
}

TYPED_TEST(MergesOfBothTypes, OutOfRangeCellFailsAfterTheFlush) {
  TensorDigest<TypeParam> d({4}, 2);
  d.update(std::vector<TypeParam>{1, 2, 3, 4});
  const std::uint64_t cells[] = {3, 4};
  try {
    d.merge_cells(cells);
    FAIL() << "cell 4 of 4 was accepted";
  } catch (const EngineError& e) {
    EXPECT_NE(std::string(e.what()).find("cell index 4"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("4 cells"), std::string::npos) << e.what();
  }
  EXPECT_EQ(d.n_buffered, 0u);
  EXPECT_EQ(d.total_weights[3], 1u);
  const std::uint64_t last[] = {3};
  EXPECT_EQ(d.merge_cells(last).total_weights[0], 1u);
}

TEST(MergeCells, InterleavedCellsReachCompressInAscendingOrder) {
  FloatDigest d({2}, kNoMerging);
  set_cell(d, 0, {{3, 1}, {7, 1}}, 3.0f, 7.0f);
  set_cell(d, 1, {{1, 1}, {5, 1}}, 1.0f, 5.0f);
  const std::uint64_t cells[] = {0, 1};
  const auto r = d.merge_cells(cells);
  EXPECT_EQ(means_of(r), (std::vector<float>{1, 3, 5, 7}));
  EXPECT_EQ(r.mins[0], 1.0f);
  EXPECT_EQ(r.maxs[0], 7.0f);
}

TEST(MergeCells, SortsByTotalOrderWithNegativeZeroFirstAndNaNsAtTheEnds) {
  FloatDigest d({3}, kNoMerging);
  set_cell(d, 0, {{0.0f, 1}, {kInf, 1}, {kNaN, 1}}, 0.0f, kInf);
  set_cell(d, 1, {{-kNaN, 1}, {-0.0f, 1}}, -0.0f, 0.0f);
  set_cell(d, 2, {{-kInf, 1}, {-1.0f, 1}}, -kInf, -1.0f);
  const std::uint64_t cells[] = {0, 1, 2};
  const auto m = means_of(d.merge_cells(cells));
  ASSERT_EQ(m.size(), 7u);
  EXPECT_TRUE(std::isnan(m[0]) && std::signbit(m[0]));
  EXPECT_EQ(m[1], -kInf);
  EXPECT_EQ(m[2], -1.0f);
  EXPECT_TRUE(m[3] == 0.0f && std::signbit(m[3]));
  EXPECT_TRUE(m[4] == 0.0f && !std::signbit(m[4]));
  EXPECT_EQ(m[5], kInf);
  EXPECT_TRUE(std::isnan(m[6]) && !std::signbit(m[6]));
}

TEST(MergeCells, ExtremesMoveOnlyOnStrictComparisons) {
  FloatDigest d({3}, 2);
  set_cell(d, 0, {{1, 1}}, kNaN, kNaN);
  set_cell(d, 1, {{2, 1}}, 2.0f, 2.0f);
  set_cell(d, 2, {{5, 1}}, -3.0f, 9.0f);
  const std::uint64_t cells[] = {0, 1, 2};
  const auto r = d.merge_cells(cells);
  EXPECT_EQ(r.mins[0], -3.0f);
  EXPECT_EQ(r.maxs[0], 9.0f);
  const std::uint64_t only_nan[] = {0};
  EXPECT_EQ(d.merge_cells(only_nan).mins[0], kInf);
}

TEST(MergeCells, IntegerExtremesStayExact) {
  IntDigest d({2}, 2);
  const std::int32_t lo = std::numeric_limits<std::int32_t>::min();
  d.update(std::vector<std::int32_t>{16777217, lo});
  const std::uint64_t cells[] = {0, 1};
  const auto r = d.merge_cells(cells);
  EXPECT_EQ(r.mins[0], lo);
  EXPECT_EQ(r.maxs[0], 16777217);
}

TEST(MergeChannels, CompressesEachChannelOnItsOwnThenAllTogether) {
  // Shape [2, 1, 6]: two channels of six cells, each cell with 20 values.
  FloatDigest d({2, 1, 6}, 5);
  std::mt19937 rng(7);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  for (int row = 0; row < 20; ++row) {
    std::vector<float> data(12);
    for (float& v : data) v = normal(rng);
    d.update(data);
  }
  d.flush();

  // The same merge built from its parts.
  FloatDigest expected({1}, 5);
  std::vector<float> channel_means;
  std::vector<std::uint32_t> channel_weights;
  for (std::uint64_t c = 0; c < 2; ++c) {
    std::vector<std::uint64_t> cells;
    for (std::uint64_t i = 0; i < 6; ++i) cells.push_back(c * 6 + i);
    const auto channel = d.merge_cells(cells);
    for (std::uint64_t k = 0; k < channel.n_centroids[0]; ++k) {
      channel_means.push_back(channel.centroids_means[k]);
      channel_weights.push_back(channel.centroids_weights[k]);
    }
  }
  std::vector<std::size_t> order(channel_means.size());
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return channel_means[a] < channel_means[b]; });
  std::vector<float> sorted_means;
  std::vector<std::uint32_t> sorted_weights;
  for (std::size_t k : order) {
    sorted_means.push_back(channel_means[k]);
    sorted_weights.push_back(channel_weights[k]);
  }
  compress(expected.centroids_means, expected.centroids_weights, expected.n_centroids[0],
           expected.total_weights[0], sorted_means, sorted_weights, 5, expected.max_centroids);

  const std::uint64_t both[] = {0, 1};
  const auto r = d.merge_channels(both);
  EXPECT_EQ(means_of(r), means_of(expected));
  EXPECT_EQ(r.total_weights[0], 240u);

  // Same total and extremes as one flat merge, but not the same centroids.
  std::vector<std::uint64_t> all(12);
  for (std::uint64_t i = 0; i < 12; ++i) all[i] = i;
  const auto flat = d.merge_cells(all);
  EXPECT_EQ(flat.total_weights[0], r.total_weights[0]);
  EXPECT_EQ(flat.mins[0], r.mins[0]);
  EXPECT_EQ(flat.maxs[0], r.maxs[0]);
  EXPECT_NE(means_of(flat), means_of(r));

  const auto whole = d.merge_all();
  EXPECT_EQ(means_of(whole), means_of(r));
}

TEST(MergeChannels, ChannelsBeyondTheTensorFailAfterTheFlush) {
  // Shape [3, 2, 2]: P = 4, channels 0 to 2.
  FloatDigest d({3, 2, 2}, 1);
  d.update(std::vector<float>(12, 1.0f));
  const std::uint64_t beyond[][1] = {{3}, {kHuge}, {std::uint64_t{1} << 62}};
  for (const auto& channel : beyond) {
    try {
      d.merge_channels(channel);
      FAIL() << "channel " << channel[0] << " was accepted";
    } catch (const EngineError& e) {
      const std::string what = e.what();
      EXPECT_NE(what.find("channel index " + std::to_string(channel[0])), std::string::npos)
          << what;
      EXPECT_NE(what.find("3 channels"), std::string::npos) << what;
    }
    EXPECT_EQ(d.n_buffered, 0u);
  }
  const std::uint64_t last[] = {2};
  EXPECT_EQ(d.merge_channels(last).total_weights[0], 4u);
}

TEST(MergeChannels, APlaneWithoutCellsGivesEmptyChannels) {
  FloatDigest d({2, 0, 5}, 2);
  d.update(std::vector<float>{});
  const std::uint64_t any[] = {0, 7, kHuge};
  expect_empty_one_cell(d.merge_channels(any), 2);
  EXPECT_EQ(d.n_buffered, 0u);
}

TEST(MergeAll, CountsChannelsByThePlaneOfTheLastTwoDimensions) {
  struct Case {
    std::vector<std::uint64_t> shape;
    std::uint32_t expected_total;
  };
  const Case cases[] = {
      {{2, 3, 4, 5}, 120}, {{4}, 4}, {{}, 1}, {{0, 3, 4}, 0}, {{2, 3, 0}, 0}, {{0}, 0},
  };
  for (const Case& c : cases) {
    FloatDigest d(c.shape, 2);
    d.update(std::vector<float>(d.numel, 1.5f));
    const auto r = d.merge_all();
    EXPECT_EQ(d.n_buffered, 0u);
    EXPECT_EQ(r.total_weights[0], c.expected_total) << ::testing::PrintToString(c.shape);
    if (c.expected_total == 0) expect_empty_one_cell(r, 2);
  }
}

TEST(WithoutZeros, ADigestThatNeverReceivedAValueGetsZeroExtremes) {
  IntDigest d({2, 2}, 2);
  const auto r = d.without_zeros();
  EXPECT_EQ(r.shape, d.shape);
  for (std::uint64_t j = 0; j < 4; ++j) {
    EXPECT_EQ(r.n_centroids[j], 0u);
    EXPECT_EQ(r.total_weights[j], 0u);
    EXPECT_EQ(r.mins[j], 0);
    EXPECT_EQ(r.maxs[j], 0);
  }
}

TEST(WithoutZeros, DropsZeroCentroidsAndReplacesAZeroExtreme) {
  FloatDigest d({2}, kNoMerging);
  set_cell(d, 1, {{0, 1}, {0, 1}, {3, 1}, {5, 1}}, 0.0f, 5.0f);
  d.update(std::vector<float>{4.0f, 9.0f});  // flushed first: cell 1 gains 9
  const auto r = d.without_zeros();
  EXPECT_EQ(d.n_buffered, 0u);
  EXPECT_EQ(means_of(r, 1), (std::vector<float>{3, 5, 9}));
  EXPECT_EQ(r.total_weights[1], 3u);
  EXPECT_EQ(r.mins[1], 3.0f);
  EXPECT_EQ(r.maxs[1], 9.0f);
  EXPECT_EQ(means_of(r, 0), std::vector<float>{4});
}

TEST(WithoutZeros, ThresholdIsInclusiveAtOneInATrillion) {
  const float eps = 1e-12f;
  FloatDigest d({1}, 2);
  set_cell(d, 0, {{-1e-13f, 1}, {eps, 2}, {1e-13f, 4}, {1e-11f, 8}}, -1.0f, 1.0f);
  const auto r = d.without_zeros();
  EXPECT_EQ(means_of(r), std::vector<float>{1e-11f});
  EXPECT_EQ(r.total_weights[0], 8u);
  EXPECT_EQ(r.mins[0], -1.0f);  // not zero: stays the exact extreme
  EXPECT_EQ(r.maxs[0], 1.0f);
}

TEST(WithoutZeros, NaNMeanIsKeptAndANaNMinimumCountsAsZero) {
  FloatDigest d({1}, 2);
  set_cell(d, 0, {{2, 1}, {4, 1}, {kNaN, 1}}, kNaN, 4.0f);
  const auto r = d.without_zeros();
  EXPECT_EQ(r.n_centroids[0], 3u);
  EXPECT_EQ(r.mins[0], 2.0f);
  EXPECT_EQ(r.maxs[0], 4.0f);
}

TEST(WithoutZeros, IntegerExtremesTruncateTowardZeroAndSaturate) {
  IntDigest d({3}, 2);
  set_cell(d, 0, {{0, 5}, {2.75f, 1}, {6.5f, 1}}, 0, 7);
  set_cell(d, 1, {{-7.25f, 1}, {-2.5f, 1}, {0, 5}}, -8, 0);
  set_cell(d, 2, {{-3e9f, 1}, {0, 1}, {3e9f, 1}}, 0, 0);
  const auto r = d.without_zeros();
  EXPECT_EQ(r.mins[0], 2);
  EXPECT_EQ(r.maxs[0], 7);
  EXPECT_EQ(r.mins[1], -8);
  EXPECT_EQ(r.maxs[1], -2);
  EXPECT_EQ(r.mins[2], std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(r.maxs[2], std::numeric_limits<std::int32_t>::max());
}

TEST(WithoutZeros, KeepsTheSourceUntouched) {
  FloatDigest d({1}, 2);
  set_cell(d, 0, {{0, 3}, {1, 1}}, 0.0f, 1.0f);
  const auto r = d.without_zeros();
  EXPECT_EQ(r.total_weights[0], 1u);
  EXPECT_EQ(d.n_centroids[0], 2u);
  EXPECT_EQ(d.total_weights[0], 4u);
  EXPECT_EQ(d.mins[0], 0.0f);
}

}  // namespace
}  // namespace tesrak
