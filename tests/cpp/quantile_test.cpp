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

TEST(QuantileRule, EmptyCellAnswersZeroEverywhere) {
  const Sketch empty{{}, {}, 0, kInf, -kInf};
  for (float q : {-1.0f, 0.0f, 0.5f, 1.0f, 2.0f}) EXPECT_EQ(empty.at(q), 0.0f);
  const Sketch no_total{{3.0f}, {1}, 0, 3, 3};
  EXPECT_EQ(no_total.at(0.5f), 0.0f);
}

TEST(QuantileRule, LevelsOutsideTheUnitIntervalAnswerTheExtremes) {
  const Sketch s{{2, 10}, {4, 4}, 8, 0, 12};
  EXPECT_EQ(s.at(0.0f), 0.0f);
  EXPECT_EQ(s.at(-3.0f), 0.0f);
  EXPECT_EQ(s.at(1.0f), 12.0f);
  EXPECT_EQ(s.at(kInf), 12.0f);
  const Sketch one{{5.5f}, {7}, 7, 1, 9};
  for (float q : {0.001f, 0.5f, 0.999f}) EXPECT_EQ(one.at(q), 5.5f);
}

TEST(QuantileRule, TailsAndInterior) {
  const Sketch s{{2, 10}, {4, 4}, 8, 0, 12};
  EXPECT_EQ(s.at(0.1875f), 1.0f);   // left tail, halfway
  EXPECT_EQ(s.at(0.25f), 2.0f);
  EXPECT_EQ(s.at(0.5f), 6.0f);      // interior, equal distances
  EXPECT_EQ(s.at(0.8125f), 11.0f);  // right tail, halfway

  const Sketch three{{0, 10, 20}, {1, 4, 1}, 6, 0, 20};
  EXPECT_EQ(three.at(0.375f), 6.25f);
  EXPECT_EQ(three.at(0.5f), 10.0f);
}

TEST(QuantileRule, SingletonCentroidsAreExactPoints) {
  const Sketch s{{1, 3}, {1, 1}, 2, 1, 3};
  for (float q : {0.01f, 0.3f, 0.5f, 0.75f}) EXPECT_EQ(s.at(q), 1.0f) << q;
  for (float q : {0.7500001f, 0.8f, 0.99f}) EXPECT_EQ(s.at(q), 3.0f) << q;
}

TEST(QuantileRule, NaNLevelGivesTheFirstPairsMidpoint) {
  const Sketch s{{2, 10, 30}, {4, 4, 4}, 12, 0, 40};
  EXPECT_EQ(s.at(kNaN), 6.0f);
}

TEST(QuantileRule, InfiniteCentroidsNeverProduceNaN) {
  const Sketch s{{-kInf, 0.0f, kInf}, {5, 5, 5}, 15, -kInf, kInf};
  for (int k = 1; k < 100; ++k) {
    const float q = static_cast<float>(k) / 100.0f;
    EXPECT_FALSE(std::isnan(s.at(q))) << q;
  }
  EXPECT_EQ(s.at(0.1f), -kInf);
  EXPECT_EQ(s.at(0.5f), 0.0f);
  EXPECT_EQ(s.at(0.9f), kInf);
  // Finite but huge: the 32-bit formula would overflow.
  const float big = std::numeric_limits<float>::max();
  const Sketch wide{{-big, big}, {4, 4}, 8, -big, big};
  EXPECT_EQ(wide.at(0.5f), 0.0f);
  EXPECT_TRUE(std::isfinite(wide.at(0.3f)));
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

TEST(Queries, IntExtremesAnswerAsNearestFloats) {
  IntDigest d({1}, 1);
  testing::feed<std::int32_t>(d, {2147483647, -5});
  const float qs[2] = {0.0f, 1.0f};
  EXPECT_EQ(d.cell_quantiles(0, qs), (std::vector<float>{-5.0f, 2147483648.0f}));
}

}  // namespace
}  // namespace tesrak
