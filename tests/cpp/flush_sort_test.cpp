// The flush sorts each cell's values with a vectorised sort for all but the
// shortest runs. Its results must stay bit for bit those of a flush that
// sorts with std::sort, whatever the values: the checks below compare both
// over random runs of many lengths and awkward values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <type_traits>
#include <vector>

#include "sort_run.hpp"
#include "sorted_merge.hpp"
#include "tesrak/tensor_digest.hpp"

namespace tesrak {
namespace {

using FloatLimits = std::numeric_limits<float>;
using IntLimits = std::numeric_limits<std::int32_t>;

// Kinds of runs: plain, full of ties, awkward values mixed in, and (for
// floats) NaN among the rest, or zeros of both signs as the smallest or the
// largest values, where the sign of the minimum or maximum depends on which
// zero the sort puts first or last.
enum class Mix { Plain, Ties, Extremes, WithNaN, ZerosLowest, ZerosHighest };
constexpr Mix kMixes[] = {Mix::Plain,   Mix::Ties,        Mix::Extremes,
                          Mix::WithNaN, Mix::ZerosLowest, Mix::ZerosHighest};

float draw_float(std::mt19937_64& rng, Mix mix) {
  static constexpr float kAwkward[] = {
      FloatLimits::infinity(), -FloatLimits::infinity(), FloatLimits::max(),
      -FloatLimits::max(),     FloatLimits::denorm_min(), -FloatLimits::denorm_min(),
      0.0f,                    -0.0f,                     16777217.0f};
  std::normal_distribution<float> normal;
  switch (mix) {
    case Mix::Plain: return normal(rng);
    case Mix::Ties: return static_cast<float>(static_cast<int>(rng() % 5) - 2);
    case Mix::Extremes: return rng() % 3 == 0 ? kAwkward[rng() % std::size(kAwkward)] : normal(rng);
    case Mix::WithNaN:
      return rng() % 4 == 0 ? FloatLimits::quiet_NaN() : draw_float(rng, Mix::Extremes);
    case Mix::ZerosLowest:
    case Mix::ZerosHighest: {
      if (rng() % 2 == 0) return rng() % 2 == 0 ? 0.0f : -0.0f;
      const float magnitude = std::abs(normal(rng));
      return mix == Mix::ZerosLowest ? magnitude : -magnitude;
    }
  }
  return 0.0f;
}

std::int32_t draw_int(std::mt19937_64& rng, Mix mix) {
  switch (mix) {
    case Mix::Ties: return static_cast<std::int32_t>(rng() % 5) - 2;
    case Mix::Extremes:
    case Mix::WithNaN: {
      static constexpr std::int32_t kAwkward[] = {IntLimits::max(), IntLimits::min(), 0, -1,
                                                  16777217};
      if (rng() % 3 == 0) return kAwkward[rng() % std::size(kAwkward)];
      return static_cast<std::int32_t>(rng());
    }
    default: return static_cast<std::int32_t>(rng());
  }
}

template <typename T>
T draw(std::mt19937_64& rng, Mix mix) {
  if constexpr (std::is_same_v<T, float>) {
    return draw_float(rng, mix);
  } else {
    return draw_int(rng, mix);
  }
}

template <typename List>
bool same_bits(const List& a, const List& b) {
  if (a.size() != b.size()) return false;
  return a.size() == 0 || std::memcmp(a.data(), b.data(), a.size() * sizeof(a[0])) == 0;
}

// Run lengths on both sides of the vectorised sort's threshold, and the
// lengths the flush sees at common compressions.
std::vector<std::size_t> run_lengths() {
  std::vector<std::size_t> lengths;
  for (std::size_t n = 0; n <= 3 * detail::kMinVectorSortRun; ++n) lengths.push_back(n);
  for (std::size_t n : {63, 64, 65, 100, 127, 199, 256, 400, 1000, 4099}) lengths.push_back(n);
  return lengths;
}

template <typename T>
void expect_sort_matches_std_sort() {
  std::mt19937_64 rng(11);
  for (Mix mix : kMixes) {
    if (std::is_same_v<T, float> && mix == Mix::WithNaN) continue;  // the sort never sees NaN
    for (std::size_t n : run_lengths()) {
      for (int trial = 0; trial < 20; ++trial) {
        std::vector<T> expected(n);
        for (T& v : expected) v = draw<T>(rng, mix);
        std::vector<T> sorted = expected;
        std::sort(expected.begin(), expected.end());
        detail::sort_run(sorted.data(), n);
        ASSERT_TRUE(same_bits(sorted, expected))
            << "mix " << static_cast<int>(mix) << ", length " << n << ", trial " << trial;
      }
    }
  }
}

TEST(SortRun, GivesTheVeryBitsOfStdSort) {
  expect_sort_matches_std_sort<float>();
  expect_sort_matches_std_sort<std::int32_t>();
}

// The flush as it would be with std::sort: each cell's values in arrival
// order, NaN left out (the rest keeping their order), std::sort, then the
// same per-cell merge.
template <typename T>
void reference_flush(TensorDigest<T>& d) {
  detail::SortedMerge<T> merge(d);
  std::vector<T> values;
  for (std::uint64_t i = 0; i < d.numel; ++i) {
    values.clear();
    for (std::uint64_t r = 0; r < d.n_buffered; ++r) {
      const T v = d.row_buffer[r * d.numel + i];
      if constexpr (std::is_same_v<T, float>) {
        if (std::isnan(v)) continue;
      }
      values.push_back(v);
    }
    std::sort(values.begin(), values.end());
    if (!values.empty()) merge(i, values.data(), values.size());
  }
  d.n_buffered = 0;
}

template <typename T>
void expect_same_cells(const TensorDigest<T>& flushed, const TensorDigest<T>& reference) {
  EXPECT_EQ(flushed.n_buffered, 0u);
  EXPECT_TRUE(same_bits(flushed.centroids_means, reference.centroids_means));
  EXPECT_TRUE(same_bits(flushed.centroids_weights, reference.centroids_weights));
  EXPECT_TRUE(same_bits(flushed.n_centroids, reference.n_centroids));
  EXPECT_TRUE(same_bits(flushed.total_weights, reference.total_weights));
  EXPECT_TRUE(same_bits(flushed.mins, reference.mins));  // -0 and +0 told apart
  EXPECT_TRUE(same_bits(flushed.maxs, reference.maxs));
}

// Each cell of a row draws its values from its own kind of run, so one
// flush sees every kind; batches of many lengths are flushed one after
// another into the same cells of two digests fed alike.
template <typename T>
void expect_flush_matches_reference() {
  std::mt19937_64 rng(5);
  for (std::uint64_t compression : {3, 7, 50}) {
    constexpr std::uint64_t kCells = 40;
    TensorDigest<T> d({kCells}, compression);
    TensorDigest<T> reference({kCells}, compression);
    std::vector<T> row(kCells);
    for (int batch = 0; batch < 6; ++batch) {
      const std::uint64_t rows = 1 + rng() % (d.buffer_capacity - 1);
      for (std::uint64_t r = 0; r < rows; ++r) {
        for (std::uint64_t i = 0; i < kCells; ++i) {
          row[i] = draw<T>(rng, kMixes[i % std::size(kMixes)]);
        }
        d.update(row);
        reference.update(row);
      }
      d.flush();
      reference_flush(reference);
      SCOPED_TRACE(::testing::Message() << "compression " << compression << ", batch " << batch
                                        << ", rows " << rows);
      expect_same_cells(d, reference);
    }
  }
}

TEST(Flush, SortsAsStdSortWouldBitForBit) {
  expect_flush_matches_reference<float>();
  expect_flush_matches_reference<std::int32_t>();
}

}  // namespace
}  // namespace tesrak
