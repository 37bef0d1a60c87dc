#include "tesrak/merge_rule.hpp"

#include <algorithm>
#include <vector>

#include "sketch/merge_walk.hpp"
#include "tesrak/errors.hpp"

namespace tesrak {

void compress(std::span<float> means, std::span<std::uint32_t> weights,
              std::uint64_t& n_centroids, std::uint32_t& total_weight,
              std::span<const float> in_means, std::span<const std::uint32_t> in_weights,
              std::uint64_t compression, std::uint64_t max_centroids) {
  if (in_means.empty()) return;
  if (in_weights.size() != in_means.size()) {
    throw EngineError("compress: incoming means and weights differ in length");
  }
  if (n_centroids > means.size() || n_centroids > weights.size() ||
      max_centroids > means.size() || max_centroids > weights.size()) {
    throw EngineError("compress: centroid count exceeds the cell's slots");
  }

  std::uint64_t incoming = 0;
  for (std::uint32_t w : in_weights) incoming += w;
  const std::uint64_t merged_weight = incoming + total_weight;

  // Every output centroid takes at least one item, so this many slots hold
  // any result that can be kept; a larger count only needs counting.
  const std::size_t room = static_cast<std::size_t>(
      std::min<std::uint64_t>(max_centroids, n_centroids + in_means.size()));
  std::vector<float> out_means(room);
  std::vector<std::uint32_t> out_weights(room);
  detail::MergeWalk walk(compression, merged_weight, out_means, out_weights);

  const auto item = [&](std::uint64_t i) { return detail::WalkItem{in_means[i], in_weights[i]}; };
  const std::uint64_t taken =
      walk.add_with_existing(means.data(), weights.data(), n_centroids, in_means.size(), item);
  for (std::uint64_t i = taken; i < in_means.size(); ++i) walk.add(in_means[i], in_weights[i]);
  walk.finish();
  walk.check_capacity(max_centroids);

  const std::size_t k = static_cast<std::size_t>(walk.count());
  std::copy_n(out_means.begin(), k, means.begin());
  std::copy_n(out_weights.begin(), k, weights.begin());
  n_centroids = k;
  total_weight = static_cast<std::uint32_t>(merged_weight);
}

}  // namespace tesrak
