#pragma once

#include <bit>
#include <cstdint>
#include <limits>

namespace tesrak::detail {

// An integer key whose order is the IEEE 754 totalOrder of 32-bit floats:
// -NaN < -inf < negatives < -0 < +0 < positives < +inf < +NaN, NaNs by
// their payload. Flipping the magnitude bits of negative numbers makes their
// integer order ascend with their value. Unlike the float comparison it
// orders everything, NaN included.
inline std::int32_t total_order_key(float x) noexcept {
  std::int32_t bits = std::bit_cast<std::int32_t>(x);
  if (bits < 0) bits ^= std::numeric_limits<std::int32_t>::max();
  return bits;
}

}  // namespace tesrak::detail
