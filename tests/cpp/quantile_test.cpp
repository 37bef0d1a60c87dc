// The quantile rule on hand-made sketches, and the two queries on digests.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "test_support.hpp"
#include "tesrak/errors.hpp"
#include "tesrak/quantile_rule.hpp"

namespace tesrak {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Sketch {
  std::vector<float> means;
  std::vector<std::uint32_t> weights;
  float total, min, max;
  float at(float q) const { return quantile_from_centroids(means, weights, total, min, max, q); }
};

TEST(QuantileRule, AnswersOnHandMadeSketches) {
  const float big = std::numeric_limits<float>::max();
  const Sketch empty{{}, {}, 0, kInf, -kInf}, no_total{{3.0f}, {1}, 0, 3, 3};
  const Sketch two{{2, 10}, {4, 4}, 8, 0, 12}, one{{5.5f}, {7}, 7, 1, 9};
  const Sketch three{{0, 10, 20}, {1, 4, 1}, 6, 0, 20}, singletons{{1, 3}, {1, 1}, 2, 1, 3};
  const Sketch infinite{{-kInf, 0.0f, kInf}, {5, 5, 5}, 15, -kInf, kInf};
  const Sketch wide{{-big, big}, {4, 4}, 8, -big, big};  // the 32-bit formula would overflow
  const Sketch flushed{{1, 2.5f, 4}, {1, 2, 1}, 4, 1, 4};  // 1, 2, 3, 4 at compression 2
  struct Case { const char* what; const Sketch& s; std::vector<float> levels; float expected; };
  const Case cases[] = {
      {"empty cell", empty, {-1, 0, 0.5f, 1, 2}, 0},
      {"no total weight", no_total, {0.5f}, 0},
      {"levels at or below 0: the minimum", two, {0, -3}, 0},
      {"levels at or above 1: the maximum", two, {1, kInf}, 12},
      {"one centroid", one, {0.001f, 0.5f, 0.999f}, 5.5f},
      {"left tail, halfway", two, {0.1875f}, 1},
      {"first centre", two, {0.25f}, 2},
      {"interior, equal distances", two, {0.5f}, 6},
      {"right tail, halfway", two, {0.8125f}, 11},
      {"interior, unequal weights", three, {0.375f}, 6.25f},
      {"middle centre", three, {0.5f}, 10},
      {"weight-1 centroids are exact points", singletons, {0.01f, 0.3f, 0.5f, 0.75f}, 1},
      {"the next exact point", singletons, {0.7500001f, 0.8f, 0.99f}, 3},
      {"worked example, low", flushed, {0, 0.25f, 0.375f}, 1},
      {"worked example, middle", flushed, {0.5f}, 2.5f},
      {"worked example, high", flushed, {0.625f, 0.75f, 1}, 4},
      {"NaN level: the first pair's midpoint", three, {kNaN}, 5},
      {"infinite outer centroids", infinite, {0.1f}, -kInf},
      {"between infinite centroids", infinite, {0.5f}, 0},
      {"infinite upper centroid", infinite, {0.9f}, kInf},
      {"largest finite centroids", wide, {0.5f}, 0},
  };
  for (const Case& c : cases) {
    for (float q : c.levels) EXPECT_EQ(c.s.at(q), c.expected) << c.what << ", level " << q;
  }
  for (int k = 1; k < 100; ++k) {
    const float q = static_cast<float>(k) / 100.0f;
    EXPECT_FALSE(std::isnan(infinite.at(q))) << q;
    EXPECT_TRUE(std::isfinite(wide.at(q))) << q;
  }
}

// Each level below sits on, or just beside, one of the rule's comparisons,
// where moving that comparison's boundary by an equality changes the answer.
// The level's index x = total × q is exact in every case.
TEST(QuantileRule, AnswersOnEachSideOfItsBoundaries) {
  const Sketch one{{5.5f}, {7}, 7, 1, 9};
  // Centres at 2 and 6; the left tail reaches x = 3, the right from x = 5.
  const Sketch two{{2, 10}, {4, 4}, 8, 0, 12};
  // Weight-2 ends: half a weight is 1, which is itself the tail's run.
  const Sketch pair{{2, 10}, {2, 2}, 4, 0, 12};
  const Sketch four{{1, 2, 3, 4}, {1, 1, 1, 1}, 4, 1, 4};
  const Sketch five{{1, 2, 3, 4, 5}, {1, 1, 1, 1, 1}, 5, 1, 5};
  const Sketch six{{1, 2, 3, 4, 5, 6}, {1, 1, 1, 1, 1, 1}, 6, 1, 6};
  // Centres at 1, 4 and 9; x = 4 is the middle centre exactly.
  const Sketch uneven{{0, 1.7f, 4}, {2, 4, 6}, 12, -1, 5};
  struct Case { const char* what; const Sketch& s; float q; float expected; };
  const Case cases[] = {
      {"level 0 of one centroid: the minimum", one, 0, 1},
      {"level 1 of one centroid: the maximum", one, 1, 9},
      // x = 3 = h + 1: still the tail, clamped at the centre.
      {"left tail's last index", two, 0.375f, 2},
      // x = 3.5: 1.5 past the first centre, 2.5 short of the second.
      {"just past the left tail", two, 0.4375f, 5},
      {"just short of the right tail", two, 0.5625f, 7},
      // x = 5 = (total - 1) - g: the tail, clamped at the last centre.
      {"right tail's first index", two, 0.625f, 10},
      {"weight-2 left tail, at its start", pair, 0.25f, 0},
      {"weight-2 left tail, halfway", pair, 0.375f, 1},
      {"weight-2 left tail, at the centre", pair, 0.5f, 2},
      {"weight-2 right tail, halfway", pair, 0.625f, 11},
      {"weight-2 right tail, at its end", pair, 0.75f, 12},
      // A single value owns the half unit on each side of its centre; where
      // two halves meet (dl = dr = 0.5), the right one answers.
      {"four single values, left tail's last index", four, 0.375f, 1},
      {"four single values, short of the half", four, 0.49f, 2},
      {"four single values, median", four, 0.5f, 3},
      {"four single values, past the half", four, 0.51f, 3},
      {"five single values, halves meet at x = 2", five, 0.4f, 3},
      {"five single values, median on a centre", five, 0.5f, 3},
      {"five single values, halves meet at x = 3", five, 0.6f, 4},
      {"six single values, median", six, 0.5f, 4},
      // The pair to the left of x answers: (0 × 0 + 3 × 1.7f) / 3, rounded
      // at each step, lands one unit in the last place above 1.7f; the pair
      // to the right, (5 × 1.7f + 0 × 4) / 5, would give 1.7f.
      {"on a centre: the pair to its left", uneven, 1.0f / 3.0f, std::nextafter(1.7f, 2.0f)},
  };
  for (const Case& c : cases) EXPECT_EQ(c.s.at(c.q), c.expected) << c.what << ", level " << c.q;
}

// Where the 32-bit interpolation meets infinity (inf - inf, 0 × inf), the
// interpolation's own ends still answer exactly.
TEST(QuantileRule, InfiniteEndsAnswerAtTheEndsOfTheirInterpolation) {
  // A first centroid holding 1 and three +inf has the mean +inf.
  const Sketch rising{{kInf, kInf}, {4, 4}, 8, 1, kInf};
  const Sketch falling{{-kInf, -kInf}, {4, 4}, 8, -kInf, -1};
  const Sketch split{{-kInf, kInf}, {4, 4}, 8, -kInf, kInf};
  // A finite first mean under an infinite minimum, as a hand-made or
  // loaded sketch may have.
  const Sketch unbounded{{3, 5}, {4, 4}, 8, -kInf, kInf};
  struct Case { const char* what; const Sketch& s; float q; float expected; };
  const Case cases[] = {
      {"left tail at its start: the minimum", rising, 0.125f, 1},
      {"left tail inside: the infinite mean", rising, 0.1875f, kInf},
      {"right tail at its end: the maximum", falling, 0.875f, -1},
      {"right tail inside: the infinite mean", falling, 0.8125f, -kInf},
      {"left tail at the centre: the finite mean", unbounded, 0.25f, 3},
      {"left tail clamped to the centre", unbounded, 0.375f, 3},
      {"right tail at the centre: the finite mean", unbounded, 0.75f, 5},
      // Equidistant from -inf and +inf (z1 = z2 = 2): the left one.
      {"midway between opposite infinities", split, 0.5f, -kInf},
      {"nearer the upper infinity", split, 0.55f, kInf},
  };
  for (const Case& c : cases) EXPECT_EQ(c.s.at(c.q), c.expected) << c.what << ", level " << c.q;
}

TEST(Queries, AllCellPassIgnoresBufferedRowsCellQueryFlushes) {
  FloatDigest d({3}, 2);
  const float row[3] = {1, 2, 3};
  d.update(row);
  EXPECT_EQ(d.quantile_no_flush(0.5f), std::vector<float>(3, 0.0f));
  const float qs[2] = {0.0f, 0.5f};
  EXPECT_EQ(d.cell_quantiles(2, qs), (std::vector<float>{3.0f, 3.0f}));
  EXPECT_EQ(d.n_buffered, 0u);
  EXPECT_EQ(d.quantile_no_flush(0.5f), (std::vector<float>{1, 2, 3}));
}

TEST(Queries, CellIndexIsChecked) {
  FloatDigest d({2, 2}, 1);
  const float row[4] = {1, 2, 3, 4};
  d.update(row);
  EXPECT_EQ(d.cell_quantiles(3, {}).size(), 0u);
  EXPECT_THAT([&] { d.cell_quantiles(4, {}); },
              ::testing::ThrowsMessage<EngineError>("cell index 4 is out of range for 4 cells"));
  EXPECT_EQ(d.n_buffered, 0u);  // the flush before the check stays done
}

}  // namespace
}  // namespace tesrak
