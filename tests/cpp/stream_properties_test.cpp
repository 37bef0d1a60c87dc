// Invariants that must hold for any stream, checked over random ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

#include <tbb/task_arena.h>

#include "storage/snapshot_payload.hpp"
#include "test_support.hpp"
#include "tesrak/quantile_rule.hpp"

namespace tesrak {
namespace {

// Mixed per-cell distributions: every cell draws from its own family and
// scale, with ties and repeated values mixed in.
std::vector<float> random_row(std::mt19937& rng, std::uint64_t numel) {
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::uniform_real_distribution<float> uniform(-5.0f, 5.0f);
  std::exponential_distribution<float> exponential(0.5f);
  std::vector<float> row(numel);
  for (std::uint64_t i = 0; i < numel; ++i) {
    switch (i % 5) {
      case 0: row[i] = normal(rng) * 3.0f + 10.0f; break;
      case 1: row[i] = uniform(rng); break;
      case 2: row[i] = exponential(rng); break;
      case 3: row[i] = std::round(normal(rng) * 2.0f); break;  // many ties
      default: row[i] = (rng() % 4 == 0) ? 0.0f : normal(rng) * 1e6f; break;
    }
  }
  return row;
}

class StreamProperties
    : public ::testing::TestWithParam<std::tuple<std::uint64_t, std::uint64_t, int>> {};

TEST_P(StreamProperties, TotalsExtremesOrderAndQuantilesHold) {
  const auto [compression, numel, updates] = GetParam();
  std::mt19937 rng(static_cast<unsigned>(compression * 1000 + numel));
  FloatDigest d({numel}, compression);
  std::vector<float> lo(numel, std::numeric_limits<float>::infinity());
  std::vector<float> hi(numel, -std::numeric_limits<float>::infinity());
  for (int u = 0; u < updates; ++u) {
    const std::vector<float> row = random_row(rng, numel);
    for (std::uint64_t i = 0; i < numel; ++i) {
      lo[i] = std::min(lo[i], row[i]);
      hi[i] = std::max(hi[i], row[i]);
    }
    d.update(row);
  }
  d.flush();

  const std::vector<float> levels = {0.0f,  0.001f, 0.01f, 0.1f, 0.25f, 0.5f,
                                     0.75f, 0.9f,   0.99f, 0.999f, 1.0f};
  for (std::uint64_t i = 0; i < numel; ++i) {
    const CellSketch cell = d.cell_sketch(i);
    ASSERT_EQ(d.total_weights[i], static_cast<std::uint32_t>(updates));
    ASSERT_LE(d.n_centroids[i], d.max_centroids);
    std::uint64_t weight_sum = 0;
    for (std::uint32_t w : cell.weights) weight_sum += w;
    ASSERT_EQ(weight_sum, static_cast<std::uint64_t>(updates));
    ASSERT_TRUE(std::is_sorted(cell.means.begin(), cell.means.end()));
    ASSERT_EQ(d.mins[i], lo[i]);
    ASSERT_EQ(d.maxs[i], hi[i]);

    float previous = -std::numeric_limits<float>::infinity();
    for (float q : levels) {
      const float v = quantile_from_centroids(cell, q);
      ASSERT_GE(v, lo[i]) << "cell " << i << " q " << q;
      ASSERT_LE(v, hi[i]) << "cell " << i << " q " << q;
      ASSERT_GE(v, previous) << "cell " << i << " q " << q;
      previous = v;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(CompressionsAndShapes, StreamProperties,
                         ::testing::Values(std::make_tuple(1, 7, 9),
                                           std::make_tuple(5, 33, 101),
                                           std::make_tuple(25, 20, 1003),
                                           std::make_tuple(100, 50, 2500),
                                           std::make_tuple(300, 5, 4000)));

// The pool splits the cells differently for each thread count; no result
// may depend on it. The flushes (200 and 133 rows of 6000 cells) are large
// enough to be split among the workers at all.
TEST(StreamProperties, OneThreadAndAllThreadsAgreeBitForBit) {
  auto run = [](int threads) {
    std::mt19937 rng(42);
    FloatDigest d({3, 2000}, 100);
    tbb::task_arena arena(threads);
    arena.execute([&] {
      for (int u = 0; u < 333; ++u) d.update(random_row(rng, d.numel));
      d.flush();
    });
    return d;
  };
  EXPECT_TRUE(detail::encode_payload(run(1)) ==
              detail::encode_payload(run(tbb::this_task_arena::max_concurrency())));
}

// NaN scattered into a stream is left out (cell 0 sees nothing else);
// infinities stay in, at the ends; pairs of the largest finite values merge
// without overflowing; no NaN comes out, and cells that saw only ordinary
// values match a digest that never saw the rest.
TEST(StreamProperties, NaNInfinitiesAndHugeValuesNeverCorruptACell) {
  std::mt19937 rng(3);
  const float inf = std::numeric_limits<float>::infinity();
  const float big = std::numeric_limits<float>::max();
  FloatDigest d({40}, 8);
  FloatDigest clean({40}, 8);
  std::vector<std::uint32_t> counted(40, 0);
  for (int u = 0; u < 300; ++u) {
    std::vector<float> row = random_row(rng, 40);
    clean.update(row);
    for (std::uint64_t i = 0; i < 40; ++i) {
      if (i == 0 || (i < 10 && rng() % 3 == 0)) row[i] = std::numeric_limits<float>::quiet_NaN();
      else if (i >= 30 && rng() % 3 == 0) row[i] = (rng() % 2) ? inf : -inf;
      else if (i >= 20 && i < 30 && rng() % 2 == 0) row[i] = (rng() % 2) ? big : -big;
      if (!std::isnan(row[i])) ++counted[i];
    }
    d.update(row);
  }
  d.flush();
  clean.flush();
  EXPECT_EQ(d.n_centroids[0], 0u);  // only NaN: the cell is untouched
  EXPECT_EQ(d.mins[0], inf);
  for (std::uint64_t i = 0; i < 40; ++i) {
    SCOPED_TRACE(::testing::Message() << "cell " << i);
    EXPECT_EQ(d.total_weights[i], counted[i]);
    const std::vector<float> means = testing::centroids_of(d, i).means;
    for (float m : means) EXPECT_TRUE(i >= 30 ? !std::isnan(m) : std::isfinite(m)) << m;
    if (i >= 30) {
      EXPECT_EQ(std::pair(means.front(), means.back()), std::pair(-inf, inf));
    }
    if (i >= 10 && i < 20) {
      EXPECT_EQ(means, testing::centroids_of(clean, i).means);
    }
    for (float q : {0.01f, 0.3f, 0.5f, 0.7f, 0.99f}) {
      EXPECT_FALSE(std::isnan(quantile_from_centroids(d.cell_sketch(i), q))) << q;
    }
  }
}

}  // namespace
}  // namespace tesrak
