#pragma once

#include <cstdint>
#include <span>

#include "tesrak/tensor_digest.hpp"

namespace tesrak {

// The value at level q of one cell's sketch: linear between the extremes and
// the outer centroids in the tails, between neighbouring centroid centres
// inside, with weight-1 centroids treated as exact points. All arithmetic is
// 32-bit, each step rounded on its own.
float quantile_from_centroids(std::span<const float> means,
                              std::span<const std::uint32_t> weights, float total, float min,
                              float max, float q) noexcept;

inline float quantile_from_centroids(const CellSketch& cell, float q) noexcept {
  return quantile_from_centroids(cell.means, cell.weights, cell.total, cell.min, cell.max, q);
}

}  // namespace tesrak
