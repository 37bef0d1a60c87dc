#pragma once

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "sketch/merge_walk.hpp"
#include "tesrak/tensor_digest.hpp"

namespace tesrak::detail {

// The flush's step for one cell once its buffered values are sorted: merges
// them, each with weight 1, into the cell's centroids by the merge rule
// (eight at a time in the tail of new values), then writes back the
// centroids, the total and the extremes. The output lists are kept from
// cell to cell.
template <typename T>
class SortedMerge {
 public:
  explicit SortedMerge(TensorDigest<T>& digest) : d_(digest) {}

  // Merges values[0, n), ascending and free of NaN, n >= 1, into cell i.
  // Returns the number of centroids the merge needed; the cell is written
  // only when that is at most max_centroids, and otherwise left as it was.
  std::uint64_t operator()(std::uint64_t i, const T* values, std::uint64_t n) {
    const std::uint64_t mc = d_.max_centroids;
    float* means = d_.centroids_means.data() + i * mc;
    std::uint32_t* weights = d_.centroids_weights.data() + i * mc;
    const std::uint64_t n_existing = d_.n_centroids[i];
    const std::uint64_t merged_weight = static_cast<std::uint64_t>(d_.total_weights[i]) + n;

    reserve_output(n_existing + n);
    MergeWalk walk(d_.compression, merged_weight, out_means_, out_weights_);
    const auto value = [values](std::uint64_t j) {
      return WalkItem{Element<T>::to_float(values[j]), 1};
    };
    std::uint64_t v = walk.add_with_existing(means, weights, n_existing, n, value);
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
    if (k > mc) return k;
    std::copy_n(out_means_.data(), k, means);
    std::copy_n(out_weights_.data(), k, weights);
    d_.n_centroids[i] = k;
    d_.total_weights[i] = static_cast<std::uint32_t>(merged_weight);
    if (values[0] < d_.mins[i]) d_.mins[i] = values[0];
    if (values[n - 1] > d_.maxs[i]) d_.maxs[i] = values[n - 1];
    return k;
  }

 private:
  // Room for every centroid a walk over `items` items can emit, up to the
  // cell's slots (the walk counts, without storing, any beyond them).
  void reserve_output(std::uint64_t items) {
    const std::uint64_t need = std::min(items, d_.max_centroids);
    if (out_means_.size() < need) {
      out_means_.resize(need);
      out_weights_.resize(need);
    }
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
  std::vector<float> out_means_;
  std::vector<std::uint32_t> out_weights_;
  float eight_[8] = {};
};

}  // namespace tesrak::detail
