#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>
#include <vector>

#include <tbb/enumerable_thread_specific.h>

#include "sketch/merge_walk.hpp"
#include "support/parallel.hpp"
#include "sketch/sort_run.hpp"
#include "sketch/sorted_merge.hpp"
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
// (under some 5 ms of work) would not repay.
constexpr std::uint64_t kMinParallelValues = 8 * kValuesPerTask;

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
      : d_(digest),
        rows_(digest.n_buffered),
        tile_(std::min(kTileCells, cells) * rows_),
        merge_(digest) {}

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

  void flush_cell(std::uint64_t i, T* values, OverfullCell& overfull) {
    const std::uint64_t n = sort_values(values);
    if (n == 0) return;
    const std::uint64_t k = merge_(i, values, n);
    // An overfull cell was left exactly as it was; the pass goes on.
    if (k > d_.max_centroids && i < overfull.cell) overfull = OverfullCell{i, k};
  }

  TensorDigest<T>& d_;
  const std::uint64_t rows_;
  std::vector<T> tile_;
  detail::SortedMerge<T> merge_;
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
