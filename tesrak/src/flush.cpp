#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>
#include <vector>

#include <tbb/enumerable_thread_specific.h>

#include "merge_walk.hpp"
#include "parallel.hpp"
#include "sort_run.hpp"
#include "tesrak/errors.hpp"
#include "tesrak/tensor_digest.hpp"

namespace tesrak {
namespace {

// Cells gathered together: one 64-byte line of each buffered row.
constexpr std::uint64_t kTileCells = 16;

// The pass is split by work, cells x buffered rows, not down to single
// cells. A task carries at most this many values and, unless the range is
// shorter, at least half of it: 0.3 ms or more (a value costs about 10 ns),
// so that handing it out costs little, yet a large tensor still splits into
// enough tasks to keep every worker busy to the end.
constexpr std::uint64_t kValuesPerTask = 65536;

// A flush of fewer values in all runs on the calling thread alone. Woken
// workers go on spinning for a while after a pass, costing about a
// millisecond of CPU time per pass among them, which a pass this short
// (under some 3 ms of work) cannot repay.
constexpr std::uint64_t kMinParallelValues = 4 * kValuesPerTask;

// Cells per task for a flush of `rows` buffered rows.
std::uint64_t cells_per_task(std::uint64_t numel, std::uint64_t rows) {
  if (numel * rows < kMinParallelValues) return std::max<std::uint64_t>(numel, 1);
  return std::max<std::uint64_t>(kValuesPerTask / rows, 1);
}

// The lowest-numbered cell whose merge needed more slots than it has.
struct OverfullCell {
  std::uint64_t cell = std::numeric_limits<std::uint64_t>::max();
  std::uint64_t count = 0;
};

// Flushes one contiguous range of cells: the per-task scratch lives here and
// is reused from cell to cell.
template <typename T>
class RangeFlush {
 public:
  // The tile has room for the buffered values of as many cells as the range
  // holds, up to a tile's width.
  RangeFlush(TensorDigest<T>& digest, std::uint64_t cells)
      : d_(digest), rows_(digest.n_buffered), tile_(std::min(kTileCells, cells) * rows_) {}

  void run(std::uint64_t begin, std::uint64_t end, OverfullCell& overfull) {
    for (std::uint64_t first = begin; first < end; first += kTileCells) {
      const std::uint64_t width = std::min(kTileCells, end - first);
      if (width == kTileCells) {
        gather<kTileCells>(first, width);
      } else {
        gather<0>(first, width);
      }
      for (std::uint64_t c = 0; c < width; ++c) {
        flush_cell(first + c, tile_.data() + c * rows_, overfull);
      }
    }
  }

 private:
  // Transposes the tile's values out of the row-major buffer: each row is
  // read as one short contiguous run instead of one strided miss per value.
  // A full tile's width is fixed at compile time (kWidth), which lets the
  // copy of a row unroll and makes it twice as fast; 0 takes `width`.
  template <std::uint64_t kWidth>
  void gather(std::uint64_t first, std::uint64_t width) {
    const std::uint64_t columns = kWidth > 0 ? kWidth : width;
    const T* row = d_.row_buffer.data() + first;
    T* tile = tile_.data();
    for (std::uint64_t r = 0; r < rows_; ++r, row += d_.numel) {
#pragma GCC unroll 16
      for (std::uint64_t c = 0; c < columns; ++c) tile[c * rows_ + r] = row[c];
    }
  }

  // Sorts the cell's values in place and returns how many remain to merge.
  std::uint64_t sort_values(T* values) const {
    std::uint64_t n = rows_;
    if constexpr (std::is_same_v<T, float>) n = without_nan(values, n);
    detail::sort_run(values, n);
    return n;
  }

  // NaN has no place in the order and is left out, as sketches do: not
  // merged, not counted, never an extreme. The rest keep their order.
  static std::uint64_t without_nan(float* values, std::uint64_t n) {
    return static_cast<std::uint64_t>(
        std::remove_if(values, values + n, [](float v) { return std::isnan(v); }) - values);
  }

  // Room for every centroid a walk over `items` items can emit, up to the
  // cell's slots (the walk counts, without storing, any beyond them).
  void reserve_output(std::uint64_t items) {
    const std::uint64_t need = std::min(items, d_.max_centroids);
    if (out_means_.size() < need) {
      out_means_.resize(need);
      out_weights_.resize(need);
    }
  }

  void flush_cell(std::uint64_t i, T* values, OverfullCell& overfull) {
    const std::uint64_t n = sort_values(values);
    if (n == 0) return;

    const std::uint64_t mc = d_.max_centroids;
    float* means = d_.centroids_means.data() + i * mc;
    std::uint32_t* weights = d_.centroids_weights.data() + i * mc;
    const std::uint64_t n_existing = d_.n_centroids[i];
    const std::uint64_t merged_weight = static_cast<std::uint64_t>(d_.total_weights[i]) + n;

    reserve_output(n_existing + n);
    detail::MergeWalk walk(d_.compression, merged_weight, out_means_, out_weights_);
    std::uint64_t e = 0;
    std::uint64_t v = 0;
    while (e < n_existing && v < n) {
      const float value = Element<T>::to_float(values[v]);
      if (means[e] <= value) {  // existing first on ties
        walk.add(means[e], weights[e]);
        ++e;
      } else {
        walk.add(value, 1);
        ++v;
      }
    }
    for (; e < n_existing; ++e) walk.add(means[e], weights[e]);
    // Only new values remain: try eight at a time.
    while (v < n) {
      if (n - v >= 8 && walk.add_eight(eight_floats(values + v))) {
        v += 8;
      } else {
        walk.add(Element<T>::to_float(values[v]), 1);
        ++v;
      }
    }
    walk.finish();

    const std::uint64_t k = walk.count();
    if (k > mc) {
      // The cell is left exactly as it was; the pass goes on with the others.
      if (i < overfull.cell) overfull = OverfullCell{i, k};
      return;
    }
    std::copy_n(out_means_.data(), k, means);
    std::copy_n(out_weights_.data(), k, weights);
    d_.n_centroids[i] = k;
    d_.total_weights[i] = static_cast<std::uint32_t>(merged_weight);
    if (values[0] < d_.mins[i]) d_.mins[i] = values[0];
    if (values[n - 1] > d_.maxs[i]) d_.maxs[i] = values[n - 1];
  }

  const float* eight_floats(const T* values) {
    if constexpr (std::is_same_v<T, float>) {
      return values;
    } else {
      for (int k = 0; k < 8; ++k) eight_[k] = Element<T>::to_float(values[k]);
      return eight_;
    }
  }

  TensorDigest<T>& d_;
  const std::uint64_t rows_;
  std::vector<T> tile_;
  std::vector<float> out_means_;
  std::vector<std::uint32_t> out_weights_;
  float eight_[8] = {};
};

}  // namespace

// A cell whose merge would overflow its slots is skipped, untouched, while
// every other cell is merged; the buffer is then emptied as usual and the
// capacity error of the lowest such cell is thrown. So no cell is ever half
// written and no row is ever merged twice (the skipped cell loses this
// batch, which it could not hold). This costs nothing on the normal path,
// unlike staging every cell's result before writing any.
template <typename T>
void TensorDigest<T>::flush() {
  if (n_buffered == 0) return;
  tbb::enumerable_thread_specific<OverfullCell> overfull;
  try {
    const std::uint64_t grain = cells_per_task(numel, n_buffered);
    detail::for_each_cell_range(numel, grain, [&](std::uint64_t begin, std::uint64_t end) {
      RangeFlush<T>(*this, end - begin).run(begin, end, overfull.local());
    });
  } catch (...) {
    n_buffered = 0;  // an allocation failure: whatever was merged stays merged once
    throw;
  }
  n_buffered = 0;

  OverfullCell first;
  for (const OverfullCell& found : overfull) {
    if (found.cell < first.cell) first = found;
  }
  if (first.count > 0) {
    throw CapacityError(detail::MergeWalk::capacity_message(first.count, max_centroids));
  }
}

template void TensorDigest<float>::flush();
template void TensorDigest<std::int32_t>::flush();

}  // namespace tesrak
