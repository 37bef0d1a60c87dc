#include <bit>
#include <cmath>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "tesrak/errors.hpp"
#include "tesrak/tensor_digest.hpp"
#include "test_support.hpp"

namespace tesrak {
namespace {

using testing::centroids_of;

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr std::uint64_t kHuge = std::numeric_limits<std::uint64_t>::max();
// So large against a handful of values that nothing merges: a result's
// centroids are then exactly the sorted input of compress.
constexpr std::uint64_t kNoMerging = 100;

using Centroid = std::pair<float, std::uint32_t>;  // mean, weight

// Gives cell i exactly these centroids and extremes.
template <typename T>
void set_cell(TensorDigest<T>& d, std::uint64_t i, const std::vector<Centroid>& cs, T min, T max) {
  d.total_weights[i] = 0;
  for (std::size_t k = 0; k < cs.size(); ++k) {
    d.centroids_means[i * d.max_centroids + k] = cs[k].first;
    d.centroids_weights[i * d.max_centroids + k] = cs[k].second;
    d.total_weights[i] += cs[k].second;
  }
  d.n_centroids[i] = cs.size();
  d.mins[i] = min;
  d.maxs[i] = max;
}

std::vector<std::uint32_t> bits_of(const std::vector<float>& values) {
  std::vector<std::uint32_t> bits;
  for (float v : values) bits.push_back(std::bit_cast<std::uint32_t>(v));
  return bits;
}

template <typename T>
void expect_empty_one_cell(const TensorDigest<T>& r) {
  EXPECT_EQ(r.shape, std::vector<std::uint64_t>{1});
  EXPECT_EQ(r.total_weights[0], 0u);
  EXPECT_EQ(r.mins[0], Element<T>::fill_min);
  EXPECT_EQ(r.maxs[0], Element<T>::fill_max);
}

TEST(Merges, EmptyListsGiveTheFillValuesAndOnlyCellMergesFlush) {
  IntDigest d({2, 2}, 2);
  d.update(std::vector<std::int32_t>{1, 2, 3, 4});
  expect_empty_one_cell(d.merge_channels({}));
  EXPECT_EQ(d.n_buffered, 1u);  // an empty channel list reads nothing
  expect_empty_one_cell(d.merge_cells({}));
  EXPECT_EQ(d.n_buffered, 0u);
}

TEST(MergeCells, PoolsCentroidsInTotalOrderAndExtremesByStrictComparisons) {
  FloatDigest d({3}, kNoMerging);
  set_cell(d, 0, {{3, 1}, {kInf, 1}, {kNaN, 1}}, kNaN, kNaN);
  set_cell(d, 1, {{-kNaN, 1}, {0.0f, 1}, {7, 1}}, 0.0f, 7.0f);
  set_cell(d, 2, {{-kInf, 1}, {-0.0f, 1}, {5, 1}}, -3.0f, 5.0f);
  const std::uint64_t cells[] = {0, 1, 2};
  const auto r = d.merge_cells(cells);
  EXPECT_EQ(bits_of(centroids_of(r, 0).means),
            bits_of({-kNaN, -kInf, -0.0f, 0.0f, 3, 5, 7, kInf, kNaN}));
  EXPECT_EQ(r.mins[0], -3.0f);
  EXPECT_EQ(r.maxs[0], 7.0f);

  const std::uint64_t only_nan[] = {0};
  EXPECT_EQ(d.merge_cells(only_nan).mins[0], kInf);
  const std::uint64_t twice[] = {2, 2};
  EXPECT_EQ(d.merge_cells(twice).total_weights[0], 6u);
}

TEST(Merges, IndicesBeyondTheTensorFailAfterTheFlush) {
  FloatDigest d({3, 2, 2}, 1);  // three channels of four cells
  const auto refusal = [&](auto merge) -> std::string {
    d.update(std::vector<float>(12, 1.0f));
    try {
      merge();
    } catch (const EngineError& e) {
      EXPECT_EQ(d.n_buffered, 0u);
      return e.what();
    }
    return "accepted";
  };
  const std::uint64_t cells[] = {11, 12};
  EXPECT_EQ(refusal([&] { d.merge_cells(cells); }),
            "merge_cells: cell index 12 is out of range for 12 cells");
  // (k + 1) x P must not wrap around to a valid channel.
  for (const std::uint64_t k : {std::uint64_t{3}, kHuge, std::uint64_t{1} << 62}) {
    const std::uint64_t channel[] = {k};
    EXPECT_EQ(refusal([&] { d.merge_channels(channel); }),
              "merge_channels: channel index " + std::to_string(k) +
                  " is out of range for 3 channels of 4 cells");
  }

  const std::uint64_t any[] = {0, kHuge};  // with no plane every channel is empty, and valid
  expect_empty_one_cell(FloatDigest({2, 0, 5}, 2).merge_channels(any));
}

TEST(MergeChannels, CompressesEachChannelOnItsOwnThenAllTogether) {
  FloatDigest d({2, 1, 6}, 5);  // two channels of six cells
  std::vector<float> row(12);
  for (int r = 0; r < 20; ++r) {
    for (int c = 0; c < 12; ++c) row[c] = std::sin(static_cast<float>(r * 12 + c));
    d.update(row);
  }
  // Same total and extremes as one merge of all the cells, other centroids.
  const std::uint64_t channels[] = {1, 0};
  const std::vector<std::uint64_t> cells = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  const auto two_level = d.merge_channels(channels);
  const auto flat = d.merge_cells(cells);
  EXPECT_EQ(std::tie(two_level.total_weights[0], two_level.mins[0], two_level.maxs[0]),
            std::tie(flat.total_weights[0], flat.mins[0], flat.maxs[0]));
  EXPECT_NE(centroids_of(two_level, 0).means, centroids_of(flat, 0).means);
  EXPECT_EQ(centroids_of(d.merge_all(), 0).means, centroids_of(two_level, 0).means);
}

TEST(MergeAll, CountsChannelsByThePlaneOfTheLastTwoDimensions) {
  const std::pair<std::vector<std::uint64_t>, std::uint32_t> cases[] = {
      {{2, 3, 4, 5}, 120}, {{4}, 4}, {{}, 1}, {{0, 3, 4}, 0}, {{2, 3, 0}, 0}, {{0}, 0}};
  for (const auto& [shape, total] : cases) {
    FloatDigest d(shape, 2);
    d.update(std::vector<float>(d.numel, 1.5f));
    const auto r = d.merge_all();
    EXPECT_EQ(r.total_weights[0], total) << ::testing::PrintToString(shape);
    if (total == 0) expect_empty_one_cell(r);
  }
}

TEST(WithoutZeros, DropsCentroidsWithinOneInATrillionOfZero) {
  FloatDigest d({3}, kNoMerging);
  set_cell(d, 0, {{0, 1}, {0, 1}, {3, 1}, {5, 1}}, 0.0f, 5.0f);
  set_cell(d, 1, {{-1e-13f, 1}, {1e-13f, 4}, {1e-12f, 2}, {1e-11f, 8}}, -1.0f, 1.0f);
  set_cell(d, 2, {{2, 1}, {4, 1}, {kNaN, 1}}, kNaN, 4.0f);
  d.update(std::vector<float>{9.0f, 0.0f, 3.0f});  // flushed first
  const auto r = d.without_zeros();
  EXPECT_EQ(d.n_centroids[0], 5u);  // the source keeps its zeros
  EXPECT_EQ(centroids_of(r, 0).means, (std::vector<float>{3, 5, 9}));
  EXPECT_EQ(centroids_of(r, 1).means, std::vector<float>{1e-11f});
  EXPECT_EQ(centroids_of(r, 2).means.size(), 4u);  // 2, 3, 4 and the NaN mean, which is kept
  EXPECT_EQ(r.total_weights, (std::vector<std::uint32_t>{3, 8, 4}));
  // A zero or NaN extreme gives way to the nearest kept mean; others stay exact.
  EXPECT_EQ(r.mins, (std::vector<float>{3, -1, 2}));
  EXPECT_EQ(r.maxs, (std::vector<float>{9, 1, 4}));
}

TEST(WithoutZeros, IntegerExtremesTruncateTowardZeroAndSaturate) {
  constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
  constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
  IntDigest d({4}, 2);
  set_cell(d, 0, {{0, 5}, {2.75f, 1}, {6.5f, 1}}, 0, 7);
  set_cell(d, 1, {{-7.25f, 1}, {-2.5f, 1}, {0, 5}}, -8, 0);
  set_cell(d, 2, {{-3e9f, 1}, {0, 1}, {3e9f, 1}}, 0, 0);
  set_cell(d, 3, {{0, 4}}, Element<std::int32_t>::fill_min, Element<std::int32_t>::fill_max);
  const auto r = d.without_zeros();
  EXPECT_EQ(r.mins, (std::vector<std::int32_t>{2, -8, kMin, 0}));
  EXPECT_EQ(r.maxs, (std::vector<std::int32_t>{7, -2, kMax, 0}));
  EXPECT_EQ(r.total_weights[3], 0u);
}

}  // namespace
}  // namespace tesrak
