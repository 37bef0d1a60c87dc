#pragma once

#include <array>
#include <cstddef>

#include "tesrak/distribution.hpp"

namespace tesrak::detail {

// A standardised quantile profile: (Q(level) - median) / half-spread at each
// profile level, then zeros up to the full width. Reference rows and cell
// profiles share this layout, so distances always run over all slots.
using Profile = std::array<float, kProfileSlots>;

// Levels of the median and of the half-spread (hi - lo) / 2. Functions taking
// 64-bit probabilities receive these 32-bit values widened.
inline constexpr float kMedianLevel = 0.5f;
inline constexpr float kUpperSpreadLevel = 0.84f;
inline constexpr float kLowerSpreadLevel = 0.16f;

// 0.01, 0.03, ..., 0.99, each the 32-bit float nearest (2i + 1) / 100: both
// operands are exact in 32 bits, so the correctly rounded division is it.
inline constexpr std::array<float, kProfileLevels> kProfileLevelValues = [] {
  std::array<float, kProfileLevels> levels{};
  for (std::size_t i = 0; i < kProfileLevels; ++i) {
    levels[i] = static_cast<float>(2 * i + 1) / 100.0f;
  }
  return levels;
}();

}  // namespace tesrak::detail
