#pragma once

#include <cstdint>
#include <limits>
#include <string_view>

namespace tesrak {

// What differs between the float32 and the int32 digest: the tag, the name
// Python knows it by, the fill values of the extremes, and how a value
// becomes a 32-bit float where it enters centroid means or the quantile rule.
template <typename T>
struct Element;

template <>
struct Element<float> {
  static constexpr std::uint8_t tag = 0;
  static constexpr std::string_view name = "float32";
  static constexpr float fill_min = std::numeric_limits<float>::infinity();
  static constexpr float fill_max = -std::numeric_limits<float>::infinity();
  static float to_float(float v) noexcept { return v; }
};

template <>
struct Element<std::int32_t> {
  static constexpr std::uint8_t tag = 1;
  static constexpr std::string_view name = "int32";
  static constexpr std::int32_t fill_min = std::numeric_limits<std::int32_t>::max();
  static constexpr std::int32_t fill_max = std::numeric_limits<std::int32_t>::min();
  // Round to nearest, ties to even: 16777217 becomes 16777216.
  static float to_float(std::int32_t v) noexcept { return static_cast<float>(v); }
};

}  // namespace tesrak
