// Highway's vectorised quicksort, compiled here for every instruction set
// the build targets and picked at run time for the CPU at hand.
//
// Why not the library's own entry point (hwy::Sorter in libhwy_contrib 1.0):
// every call seeds its pivot sampler from getrandom(), a system call of about
// 400 ns, which is two thirds of the time it takes to sort 100 floats and
// made the vectorised sort slower than std::sort below ~30 values. Seeded
// with a constant, the same quicksort sorts 100 floats in 2 ns per value
// instead of 6. The seed only steers pivot sampling; the sort still falls
// back to heapsort past its depth limit, so no input can make it quadratic.
//
// Two faults of Highway 1.0's float sort are kept away from it here: it
// turns +inf into the largest finite float, and its min/max steps, given -0
// and +0 (equal), may return the same zero twice and lose the other.
#include "sketch/sort_run.hpp"

#include <algorithm>
#include <limits>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "sketch/sort_run.cpp"
#include <hwy/foreach_target.h>  // includes this file once per target

#include <hwy/highway.h>
#include <hwy/contrib/sort/traits-inl.h>
#include <hwy/contrib/sort/vqsort-inl.h>

HWY_BEFORE_NAMESPACE();
namespace tesrak::detail::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// The body of hwy's own Sort(), with a constant seed. Built against Highway
// 1.0's internals; targets with scalable vectors (whose scratch space is
// sized at run time) and other Highway versions keep std::sort.
template <typename T>
void vector_sort(T* HWY_RESTRICT keys, std::size_t num) {
#if HWY_MAJOR == 1 && HWY_MINOR == 0 && VQSORT_ENABLED && !HWY_HAVE_SCALABLE
  constexpr std::uint64_t kSeed = 0x9E3779B97F4A7C15ull;
  hn::SortTag<T> d;
  hn::detail::SharedTraits<hn::detail::TraitsLane<hn::detail::OrderAscending<T>>> st;
  HWY_ALIGN T buf[hwy::SortConstants::BufNum<T>(HWY_LANES(T))];
  if (hn::detail::HandleSpecialCases(d, st, keys, num)) return;
  hn::detail::Generator rng(kSeed);
  const std::size_t max_levels = 2 * hwy::CeilLog2(num) + 4;
  hn::detail::Recurse(d, st, keys, keys + num, num, buf, rng, max_levels);
#else
  std::sort(keys, keys + num);
#endif
}

// The values of a float run that the quicksort does not take as they are.
struct Awkward {
  bool negative_zero = false;
  bool positive_zero = false;
  bool positive_infinity = false;
};

Awkward find_awkward(const float* HWY_RESTRICT values, std::size_t n) {
  const hn::ScalableTag<float> df;
  const hn::RebindToUnsigned<decltype(df)> du;
  const auto negative_zero = hn::Set(du, 0x80000000u);
  const auto positive_zero = hn::Zero(du);
  const auto positive_infinity = hn::Set(du, 0x7F800000u);
  auto seen_negative_zero = hn::Zero(du);
  auto seen_positive_zero = hn::Zero(du);
  auto seen_positive_infinity = hn::Zero(du);
  const std::size_t lanes = hn::Lanes(du);
  std::size_t k = 0;
  for (; k + lanes <= n; k += lanes) {
    const auto bits = hn::BitCast(du, hn::LoadU(df, values + k));
    seen_negative_zero =
        hn::Or(seen_negative_zero, hn::VecFromMask(du, hn::Eq(bits, negative_zero)));
    seen_positive_zero =
        hn::Or(seen_positive_zero, hn::VecFromMask(du, hn::Eq(bits, positive_zero)));
    seen_positive_infinity =
        hn::Or(seen_positive_infinity, hn::VecFromMask(du, hn::Eq(bits, positive_infinity)));
  }
  Awkward found;
  found.negative_zero = !hn::AllFalse(du, hn::MaskFromVec(seen_negative_zero));
  found.positive_zero = !hn::AllFalse(du, hn::MaskFromVec(seen_positive_zero));
  found.positive_infinity = !hn::AllFalse(du, hn::MaskFromVec(seen_positive_infinity));
  for (; k < n; ++k) {
    const float v = values[k];
    found.negative_zero |= v == 0.0f && std::signbit(v);
    found.positive_zero |= v == 0.0f && !std::signbit(v);
    found.positive_infinity |= v == std::numeric_limits<float>::infinity();
  }
  return found;
}

void sort_floats(float* HWY_RESTRICT values, std::size_t n) {
  const Awkward awkward = find_awkward(values, n);
  // Where both zeros occur, which one std::sort puts first depends on the
  // arrival order: such a run is left to std::sort.
  if (awkward.negative_zero && awkward.positive_zero) {
    std::sort(values, values + n);
    return;
  }
  // +inf sorts last anyway: it is moved to the end and kept out of the sort.
  if (awkward.positive_infinity) {
    n = static_cast<std::size_t>(
        std::partition(values, values + n,
                       [](float v) { return v != std::numeric_limits<float>::infinity(); }) -
        values);
  }
  if (n < kMinVectorSortRun) {
    std::sort(values, values + n);
  } else {
    vector_sort(values, n);
  }
}

void sort_int32s(std::int32_t* HWY_RESTRICT values, std::size_t n) { vector_sort(values, n); }

}  // namespace tesrak::detail::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace tesrak::detail {

HWY_EXPORT(sort_floats);
HWY_EXPORT(sort_int32s);

void sort_run(float* values, std::size_t n) {
  if (n < kMinVectorSortRun) {
    std::sort(values, values + n);
  } else {
    HWY_DYNAMIC_DISPATCH(sort_floats)(values, n);
  }
}

void sort_run(std::int32_t* values, std::size_t n) {
  if (n < kMinVectorSortRun) {
    std::sort(values, values + n);
  } else {
    HWY_DYNAMIC_DISPATCH(sort_int32s)(values, n);
  }
}

}  // namespace tesrak::detail
#endif  // HWY_ONCE
