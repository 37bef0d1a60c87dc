// Construction, the row buffer, and the flush's merge of buffered rows.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

#include "test_support.hpp"
#include "tesrak/errors.hpp"
#include "tesrak/merge_rule.hpp"

namespace tesrak {
namespace {

using testing::centroids_of;
using testing::feed;
using ::testing::ElementsAre;

constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(Construction, FillValues) {
  FloatDigest d({2, 3}, 5);
  EXPECT_EQ(d.maxs[5], -kInf);

  IntDigest i({}, 1);  // the empty shape has one cell
  EXPECT_EQ(i.numel, 1u);
  EXPECT_EQ(i.mins[0], 2147483647);
  EXPECT_EQ(i.maxs[0], -2147483647 - 1);
}

TEST(Construction, OversizedShapesFailInsteadOfWrapping) {
  const std::uint64_t huge = std::uint64_t{1} << 40;
  EXPECT_THROW(FloatDigest({huge, huge}, 1), EngineError);
  EXPECT_THROW(FloatDigest({1}, std::numeric_limits<std::uint64_t>::max() / 2), EngineError);
}

TEST(RowBuffer, UpdatesBufferUntilFullThenFlush) {
  FloatDigest d({2}, 2);  // four rows
  const float row[2] = {1.0f, 2.0f};
  for (int k = 1; k <= 3; ++k) {
    d.update(row);
    EXPECT_EQ(d.n_buffered, static_cast<std::uint64_t>(k));
    EXPECT_EQ(d.total_weights[0], 0u);
    EXPECT_EQ(d.n_centroids[0], 0u);
  }
  d.update(row);
  EXPECT_EQ(d.n_buffered, 0u);
  EXPECT_EQ(d.total_weights[0], 4u);
  EXPECT_EQ(d.mins[1], 2.0f);
  // The flushed rows stay in the buffer; only the count is reset.
  EXPECT_EQ(d.row_buffer[7], 2.0f);
}

TEST(RowBuffer, CompressionZeroCannotStoreRows) {
  FloatDigest d({2}, 0);
  const float row[2] = {1, 2};
  EXPECT_THROW(d.update(row), EngineError);
  EXPECT_EQ(d.n_buffered, 0u);

  FloatDigest none({0}, 0);  // no cells: rows are only counted
  none.update(std::span<const float>());
  none.update(std::span<const float>());
  EXPECT_EQ(none.n_buffered, 2u);
  none.flush();
  EXPECT_EQ(none.n_buffered, 0u);
}

TEST(Flush, SmallCellsFollowTheSizeBound) {
  FloatDigest d({1}, 2);
  feed(d, {1.0f, 2.0f, 3.0f, 4.0f});
  auto c = centroids_of(d, 0);
  EXPECT_THAT(c.means, ElementsAre(1.0f, 2.5f, 4.0f));
  EXPECT_THAT(c.weights, ElementsAre(1u, 2u, 1u));
  EXPECT_EQ(d.total_weights[0], 4u);

  // Continuing: the 0 comes first and the existing 2.5 is taken before the
  // incoming one.
  feed(d, {2.5f, 0.0f, 5.0f, 3.0f});
  c = centroids_of(d, 0);
  EXPECT_THAT(c.means, ElementsAre(0.0f, 2.3f, 4.0f, 5.0f));
  EXPECT_THAT(c.weights, ElementsAre(1u, 5u, 1u, 1u));
  EXPECT_EQ(d.total_weights[0], 8u);
  EXPECT_EQ(d.mins[0], 0.0f);
  EXPECT_EQ(d.maxs[0], 5.0f);

  FloatDigest ten({1}, 5);
  std::vector<float> values(10);
  std::iota(values.begin(), values.end(), 1.0f);
  feed<float>(ten, values);
  c = centroids_of(ten, 0);
  EXPECT_THAT(c.means, ElementsAre(1.0f, 2.5f, 5.5f, 8.5f, 10.0f));
  EXPECT_THAT(c.weights, ElementsAre(1u, 2u, 4u, 2u, 1u));
}

TEST(Flush, OneRowAndTwoValues) {
  FloatDigest one({1}, 4);
  feed(one, {-1.0f});
  one.flush();
  EXPECT_THAT(centroids_of(one, 0).weights, ElementsAre(1u));
  EXPECT_EQ(one.mins[0], -1.0f);
  EXPECT_EQ(one.maxs[0], -1.0f);

  FloatDigest two({1}, 4);
  feed(two, {3.0f, -2.0f});
  two.flush();
  two.flush();  // nothing buffered: nothing changes
  EXPECT_THAT(centroids_of(two, 0).means, ElementsAre(-2.0f, 3.0f));
  EXPECT_EQ(two.total_weights[0], 2u);
}

TEST(Flush, IntDigestKeepsExactExtremesAndMergesAsFloats) {
  IntDigest d({1}, 1);
  feed<std::int32_t>(d, {16777217, -2147483647 - 1});
  EXPECT_EQ(d.mins[0], -2147483647 - 1);
  EXPECT_EQ(d.maxs[0], 16777217);
  EXPECT_THAT(centroids_of(d, 0).means, ElementsAre(-2147483648.0f, 16777216.0f));
  feed<std::int32_t>(d, {2147483647, 5});
  EXPECT_EQ(d.maxs[0], 2147483647);
  EXPECT_EQ(d.total_weights[0], 4u);
}

// Once a cell's count has wrapped past 2^32 its centroids outweigh its
// total and nothing merges any more; a cell that cannot hold the result is
// skipped whole while the others are merged.
TEST(Flush, OverfullCellFailsAloneAndIsNotHalfWritten) {
  FloatDigest d({2}, 1);  // two rows, 16 slots
  d.total_weights[0] = 1;  // 15 x 0x11111111 + 1 values, modulo 2^32
  d.n_centroids[0] = 15;
  for (std::uint64_t k = 0; k < 15; ++k) {
    d.centroids_means[k] = static_cast<float>(k);
    d.centroids_weights[k] = 0x11111111u;
  }
  const auto before = centroids_of(d, 0);
  const float row1[2] = {100.0f, 1.0f};
  const float row2[2] = {200.0f, 2.0f};
  d.update(row1);
  EXPECT_THAT([&] { d.update(row2); },
              ::testing::ThrowsMessage<CapacityError>(
                  "compress: centroid count 17 exceeds max_centroids 16; increase compression "
                  "or max_centroids headroom"));
  EXPECT_EQ(d.n_buffered, 0u);  // never merged twice
  const auto after = centroids_of(d, 0);
  EXPECT_EQ(after.means, before.means);
  EXPECT_EQ(d.total_weights[0], 1u);
  EXPECT_EQ(d.maxs[0], -kInf);
  EXPECT_EQ(d.total_weights[1], 2u);  // the healthy cell was merged
}

// A centroid begun at -inf that takes +inf values keeps -inf: the mean it
// holds is not given up for the other infinity (nor made NaN). The size
// bound never looks at the values, so cell 1, fed -1 and +1 in the same
// rows, shows where the centroids fall: the sixth takes the last 14 of the
// 50 -inf and the first 30 +inf, and stays at -inf.
TEST(Flush, ACentroidAtAnInfinityKeepsItWhenTheOtherOneMergesIn) {
  FloatDigest d({2}, 10);
  for (int k = 0; k < 100; ++k) {
    const float sign = k < 50 ? -1.0f : 1.0f;
    const float row[2] = {sign * kInf, sign};
    d.update(row);
  }
  d.flush();
  const auto infinite = centroids_of(d, 0);
  const auto finite = centroids_of(d, 1);
  EXPECT_THAT(finite.weights, ElementsAre(1u, 1u, 3u, 7u, 24u, 44u, 14u, 4u, 1u, 1u));
  EXPECT_EQ(infinite.weights, finite.weights);
  EXPECT_THAT(infinite.means,
              ElementsAre(-kInf, -kInf, -kInf, -kInf, -kInf, -kInf, kInf, kInf, kInf, kInf));
  // Up to 0.6 the levels fall in or near the sixth centroid; 0.75 lies
  // nearer the centre of the seventh (87 of 100) than of the sixth (58).
  const float levels[] = {0.25f, 0.5f, 0.6f, 0.75f};
  EXPECT_THAT(d.cell_quantiles(0, levels), ElementsAre(-kInf, -kInf, -kInf, kInf));
}

TEST(Compress, NoMeansChangeNothingAndCompressionZeroMergesAll) {
  std::vector<float> means(16);
  std::vector<std::uint32_t> weights(16);
  std::uint64_t n = 0;
  std::uint32_t total = 0;
  const std::vector<std::uint32_t> stray = {5};  // whatever the weights say
  compress(means, weights, n, total, {}, stray, 2, 16);
  EXPECT_EQ(n + total, 0u);

  // Compression 0: nothing bounds the merge, one centroid holds all.
  const std::vector<float> in_means = {1, 2, 3, 4};
  const std::vector<std::uint32_t> in_weights = {1, 1, 1, 1};
  compress(means, weights, n, total, in_means, in_weights, 0, 16);
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(total, 4u);
  EXPECT_EQ(weights[0], 4u);
  EXPECT_EQ(means[0], 2.5f);
}

// A compression so high that no two items merge shows the order of the
// walk: an existing centroid before an incoming one of the same mean (told
// apart by weight), and the incoming item first wherever a NaN is compared.
TEST(Compress, ExistingFirstOnEqualMeansIncomingFirstBesideNaN) {
  constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    std::vector<float> means, in_means;
    std::vector<float> out_means;
    std::vector<std::uint32_t> out_weights;
  };
  const std::vector<Case> cases = {
      {{1, 2}, {1, 2, 3}, {1, 1, 2, 2, 3}, {2, 5, 2, 5, 5}},
      {{1, 2}, {kNaN, 0}, {kNaN, 0, 1, 2}, {5, 5, 2, 2}},
      {{kNaN, 3}, {1, 2}, {1, 2, kNaN, 3}, {5, 5, 2, 2}},
  };
  for (const Case& c : cases) {
    std::vector<float> means(16);
    std::vector<std::uint32_t> weights(16);
    std::copy(c.means.begin(), c.means.end(), means.begin());
    std::fill_n(weights.begin(), c.means.size(), 2u);
    std::uint64_t n = c.means.size();
    std::uint32_t total = 2 * static_cast<std::uint32_t>(n);
    const std::vector<std::uint32_t> in_weights(c.in_means.size(), 5u);
    compress(means, weights, n, total, c.in_means, in_weights, 100000, 16);
    ASSERT_EQ(n, c.out_means.size());
    for (std::size_t k = 0; k < n; ++k) {
      EXPECT_EQ(std::isnan(means[k]), std::isnan(c.out_means[k])) << k;
      if (!std::isnan(c.out_means[k])) {
        EXPECT_EQ(means[k], c.out_means[k]) << k;
      }
      EXPECT_EQ(weights[k], c.out_weights[k]) << k;
    }
  }
}

}  // namespace
}  // namespace tesrak
