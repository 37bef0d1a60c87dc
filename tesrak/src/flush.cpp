#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>
#include <vector>

#include <tbb/enumerable_thread_specific.h>

#include "merge_walk.hpp"
#include "parallel.hpp"
#include "tesrak/errors.hpp"
#include "tesrak/tensor_digest.hpp"

namespace tesrak {
namespace {

// Cells gathered together: one 64-byte line of each buffered row.
constexpr std::uint64_t kTileCells = 16;

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
  explicit RangeFlush(TensorDigest<T>& digest)
      : d_(digest),
        rows_(digest.n_buffered),
        tile_(kTileCells * rows_),
        out_means_(digest.max_centroids),
        out_weights_(digest.max_centroids) {}

  void run(std::uint64_t begin, std::uint64_t end, OverfullCell& overfull) {
    for (std::uint64_t first = begin; first < end; first += kTileCells) {
      const std::uint64_t width = std::min(kTileCells, end - first);
      gather(first, width);
      for (std::uint64_t c = 0; c < width; ++c) {
        flush_cell(first + c, tile_.data() + c * rows_, overfull);
      }
    }
  }

 private:
  // Transposes the tile's values out of the row-major buffer: each row is
  // read as one short contiguous run instead of one strided miss per value.
  void gather(std::uint64_t first, std::uint64_t width) {
    const T* row = d_.row_buffer.data() + first;
    for (std::uint64_t r = 0; r < rows_; ++r, row += d_.numel) {
      for (std::uint64_t c = 0; c < width; ++c) tile_[c * rows_ + r] = row[c];
    }
  }

  void flush_cell(std::uint64_t i, T* values, OverfullCell& overfull) {
    std::uint64_t n = rows_;
    if constexpr (std::is_same_v<T, float>) {
      // NaN has no place in the order and is left out, as sketches do:
      // not merged, not counted, never an extreme.
      n = static_cast<std::uint64_t>(
          std::remove_if(values, values + n, [](float v) { return std::isnan(v); }) - values);
      if (n == 0) return;
    }
    if (n >= 2) std::sort(values, values + n);

    const std::uint64_t mc = d_.max_centroids;
    float* means = d_.centroids_means.data() + i * mc;
    std::uint32_t* weights = d_.centroids_weights.data() + i * mc;
    const std::uint64_t n_existing = d_.n_centroids[i];
    const std::uint64_t merged_weight = static_cast<std::uint64_t>(d_.total_weights[i]) + n;

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
    detail::for_each_cell_range(numel, [&](std::uint64_t begin, std::uint64_t end) {
      RangeFlush<T>(*this).run(begin, end, overfull.local());
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
