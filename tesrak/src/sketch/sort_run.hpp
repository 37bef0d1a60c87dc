#pragma once

#include <cstddef>
#include <cstdint>

namespace tesrak::detail {

// Sorts values[0, n) ascending, with the very result of std::sort(values,
// values + n): the same bits in the same order, -0 and +0 included. Runs
// long enough to repay it go through Highway's vectorised quicksort, shorter
// ones and the few it cannot take as they are through std::sort. The values
// must not hold NaN (it has no place in the order). Thread-safe.
void sort_run(float* values, std::size_t n);
void sort_run(std::int32_t* values, std::size_t n);

// The shortest runs the vectorised sort takes (measured on an AVX-512
// machine over random runs of both types: std::sort is faster below).
inline constexpr std::size_t kMinVectorSortRun = 10;

}  // namespace tesrak::detail
