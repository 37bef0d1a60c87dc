#include "tesrak/classifier.hpp"

#include <cmath>
#include <string>

#include "classify/nearest_family.hpp"
#include "support/parallel.hpp"
#include "classify/profile.hpp"
#include "sketch/total_order.hpp"
#include "tesrak/errors.hpp"
#include "tesrak/quantile_rule.hpp"

namespace tesrak {
namespace {

// A half-spread below this means the cell's values are (nearly) all equal:
// there is no shape to judge.
constexpr float kMinSpread = 1e-6f;

// Partial sums of the distance: one per lane of an 8-wide vector, so the
// fixed summation order is exactly a vector accumulation over the slots.
constexpr std::size_t kLanes = 8;
static_assert(kProfileSlots % kLanes == 0, "profiles are whole groups of lanes");

// The stored counts must describe storage that exists before any cell is
// read. A digest built by the constructor always passes; only a loaded
// snapshot that was never checked can fail here.
template <typename T>
void check_centroid_storage(const TensorDigest<T>& d) {
  if (d.numel == 0) return;
  const std::string prefix = "cannot classify a corrupt digest: ";
  if (d.max_centroids == 0) {
    throw EngineError(prefix + "it has " + std::to_string(d.numel) +
                      " cells but no centroid slots per cell");
  }
  std::uint64_t slots = 0;
  if (__builtin_mul_overflow(d.numel, d.max_centroids, &slots) ||
      d.centroids_means.size() < slots || d.centroids_weights.size() < slots) {
    throw EngineError(prefix + "its centroid lists are shorter than " + std::to_string(d.numel) +
                      " cells x " + std::to_string(d.max_centroids) + " slots");
  }
  if (d.n_centroids.size() < d.numel || d.total_weights.size() < d.numel ||
      d.mins.size() < d.numel || d.maxs.size() < d.numel) {
    throw EngineError(prefix + "its per-cell lists are shorter than its " +
                      std::to_string(d.numel) + " cells");
  }
  for (std::uint64_t i = 0; i < d.numel; ++i) {
    if (d.n_centroids[i] > d.max_centroids) {
      throw EngineError(prefix + "cell " + std::to_string(i) + " claims " +
                        std::to_string(d.n_centroids[i]) + " centroids but has only " +
                        std::to_string(d.max_centroids) + " slots");
    }
  }
}

}  // namespace

namespace detail {

float profile_distance(const Profile& a, const Profile& b) noexcept {
  // Written as groups x lanes so GCC keeps the lanes in vector registers;
  // every lane still adds its slots in ascending order.
  float partial[kLanes] = {};
  for (std::size_t group = 0; group < kProfileSlots; group += kLanes) {
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
      partial[lane] += std::fabs(a[group + lane] - b[group + lane]);
    }
  }
  return (((partial[0] + partial[1]) + partial[2]) + partial[3]) +
         (((partial[4] + partial[5]) + partial[6]) + partial[7]);
}

Distribution nearest_family(const Profile& profile, const ReferenceTable& table) noexcept {
  std::size_t best = 0;
  float best_distance = profile_distance(profile, table[0]);
  for (std::size_t k = 1; k < kFamilyCount; ++k) {
    const float distance = profile_distance(profile, table[k]);
    // Strictly nearer only: a tie keeps the lower code.
    if (total_order_key(distance) < total_order_key(best_distance)) {
      best = k;
      best_distance = distance;
    }
  }
  // A NaN distance is not "farther", so a NaN best keeps its family.
  if (best_distance > kFitThreshold) return Distribution::Unknown;
  return static_cast<Distribution>(best);
}

}  // namespace detail

Distribution analyze_element(std::span<const float> means, std::span<const std::uint32_t> weights,
                             float total, float min, float max) noexcept {
  // Centroid lists of different lengths describe no sketch.
  if (means.empty() || means.size() != weights.size()) return Distribution::Unknown;
  const auto quantile = [&](float q) {
    return quantile_from_centroids(means, weights, total, min, max, q);
  };

  const float med = quantile(detail::kMedianLevel);
  const float hi = quantile(detail::kUpperSpreadLevel);
  const float lo = quantile(detail::kLowerSpreadLevel);
  const float spread = (hi - lo) * 0.5f;
  // Written so that a NaN spread is not "too small": its profile is all NaN
  // and the decision below still names a family.
  if (std::fabs(spread) < kMinSpread) return Distribution::Unknown;

  detail::Profile profile{};
  for (std::size_t i = 0; i < kProfileLevels; ++i) {
    profile[i] = (quantile(detail::kProfileLevelValues[i]) - med) / spread;
  }
  // Only now, with a cell worth judging, is the table built (the first time).
  return detail::nearest_family(profile, ref_profiles());
}

template <typename T>
std::vector<Distribution> TensorDigest<T>::analyze() {
  // Checked before the flush too, which would otherwise walk the same
  // missing slots.
  check_centroid_storage(*this);
  flush();
  std::vector<Distribution> codes(numel);
  detail::for_each_cell_range(numel, [&](std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t i = begin; i < end; ++i) codes[i] = analyze_element(cell_sketch(i));
  });
  return codes;
}

template std::vector<Distribution> TensorDigest<float>::analyze();
template std::vector<Distribution> TensorDigest<std::int32_t>::analyze();

}  // namespace tesrak
