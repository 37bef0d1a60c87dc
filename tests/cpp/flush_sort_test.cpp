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

#include "storage/snapshot_payload.hpp"
#include "sketch/sort_run.hpp"
#include "sketch/sorted_merge.hpp"
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
constexpr float kAwkwardFloats[] = {
    FloatLimits::infinity(),   -FloatLimits::infinity(),   FloatLimits::max(), -FloatLimits::max(),
    FloatLimits::denorm_min(), -FloatLimits::denorm_min(), 0.0f,               -0.0f,
    16777217.0f};
constexpr std::int32_t kAwkwardInts[] = {IntLimits::max(), IntLimits::min(), 0, -1, 16777217};

template <typename T>
T draw(std::mt19937_64& rng, Mix mix) {
  if (mix == Mix::Ties) return static_cast<T>(static_cast<int>(rng() % 5) - 2);
  if constexpr (std::is_same_v<T, float>) {
    std::normal_distribution<float> normal;
    switch (mix) {
      case Mix::Extremes:
        return rng() % 3 == 0 ? kAwkwardFloats[rng() % std::size(kAwkwardFloats)] : normal(rng);
      case Mix::WithNaN:
        return rng() % 4 == 0 ? FloatLimits::quiet_NaN() : draw<T>(rng, Mix::Extremes);
      case Mix::ZerosLowest:
      case Mix::ZerosHighest:
        if (rng() % 2 == 0) return rng() % 2 == 0 ? 0.0f : -0.0f;
        return (mix == Mix::ZerosLowest ? 1.0f : -1.0f) * std::abs(normal(rng));
      default: return normal(rng);
    }
  } else {
    const bool awkward = (mix == Mix::Extremes || mix == Mix::WithNaN) && rng() % 3 == 0;
    return awkward ? kAwkwardInts[rng() % std::size(kAwkwardInts)] : static_cast<T>(rng());
  }
}

template <typename T>
class FlushSort : public ::testing::Test {};
using ElementTypes = ::testing::Types<float, std::int32_t>;
TYPED_TEST_SUITE(FlushSort, ElementTypes);

// Run lengths on both sides of the vectorised sort's threshold, and the
// lengths the flush sees at common compressions.
TYPED_TEST(FlushSort, SortRunGivesTheVeryBitsOfStdSort) {
  using T = TypeParam;
  std::vector<std::size_t> lengths = {63, 64, 65, 100, 127, 199, 256, 400, 1000, 4099};
  for (std::size_t n = 0; n <= 3 * detail::kMinVectorSortRun; ++n) lengths.push_back(n);
  std::mt19937_64 rng(11);
  for (Mix mix : kMixes) {
    if (std::is_same_v<T, float> && mix == Mix::WithNaN) continue;  // the sort never sees NaN
    for (std::size_t n : lengths) {
      for (int trial = 0; trial < 20; ++trial) {
        std::vector<T> expected(n);
        for (T& v : expected) v = draw<T>(rng, mix);
        std::vector<T> sorted = expected;
        std::sort(expected.begin(), expected.end());
        detail::sort_run(sorted.data(), n);
        ASSERT_TRUE(n == 0 || std::memcmp(sorted.data(), expected.data(), n * sizeof(T)) == 0)
            << "mix " << static_cast<int>(mix) << ", length " << n << ", trial " << trial;
      }
    }
  }
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

// Each cell of a row draws its values from its own kind of run, so one
// flush sees every kind; batches of many lengths are flushed one after
// another into the same cells of two digests fed alike. Their payloads hold
// every list, bit for bit: -0 and +0 extremes are told apart.
TYPED_TEST(FlushSort, FlushGivesTheVeryBitsOfAFlushWithStdSort) {
  using T = TypeParam;
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
      ASSERT_TRUE(detail::encode_payload(d) == detail::encode_payload(reference))
          << "compression " << compression << ", batch " << batch << ", rows " << rows;
    }
  }
}

}  // namespace
}  // namespace tesrak
