#pragma once

#include <cstdint>
#include <span>

namespace tesrak {

// Merges `in_means`/`in_weights` (sorted by ascending mean) into one cell's
// centroids under the t-digest size bound. `means` and `weights` are the
// cell's max_centroids slots, `n_centroids` and `total_weight` its count and
// total. An empty input changes nothing. Throws EngineError, leaving the cell
// untouched, when the result needs more than max_centroids slots.
void compress(std::span<float> means, std::span<std::uint32_t> weights,
              std::uint64_t& n_centroids, std::uint32_t& total_weight,
              std::span<const float> in_means, std::span<const std::uint32_t> in_weights,
              std::uint64_t compression, std::uint64_t max_centroids);

}  // namespace tesrak
