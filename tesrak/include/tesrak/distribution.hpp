#pragma once

#include <array>
#include <cstdint>
#include <iosfwd>
#include <string_view>

namespace tesrak {

// The family of a cell's value distribution. Codes 0-4 are the fitted
// families and the rows of the reference table; Unknown means no family fits
// or the cell cannot be judged.
enum class Distribution : std::uint8_t {
  Normal = 0,
  Uniform = 1,
  Laplace = 2,
  LogNormal = 3,
  BiNormal = 4,
  Unknown = 5,
};

inline constexpr std::size_t kFamilyCount = 5;    // fitted families
inline constexpr std::size_t kProfileLevels = 50;  // levels 0.01, 0.03, ..., 0.99
inline constexpr std::size_t kProfileSlots = 56;   // levels padded with zeros

// The label of a code: the family's name, as the page and analyze() show it.
std::string_view label(Distribution d) noexcept;

// Writes the label alone: width, fill and precision of the stream are ignored.
std::ostream& operator<<(std::ostream& os, Distribution d);

// The standardised quantile profile of each fitted family, row = code.
using ReferenceTable = std::array<std::array<float, kProfileSlots>, kFamilyCount>;

// The reference table, built by the first call (concurrent first callers
// wait) and read without a lock afterwards.
const ReferenceTable& ref_profiles();

}  // namespace tesrak
