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
