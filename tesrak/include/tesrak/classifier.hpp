#pragma once

#include <cstdint>
#include <span>

#include "tesrak/distribution.hpp"
#include "tesrak/tensor_digest.hpp"

namespace tesrak {

// The family whose reference profile lies nearest to the cell's standardised
// quantile profile, or Unknown. Uses no heap memory.
Distribution analyze_element(std::span<const float> means, std::span<const std::uint32_t> weights,
                             float total, float min, float max) noexcept;

inline Distribution analyze_element(const CellSketch& cell) noexcept {
  return analyze_element(cell.means, cell.weights, cell.total, cell.min, cell.max);
}

}  // namespace tesrak
