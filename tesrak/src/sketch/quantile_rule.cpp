#include "tesrak/quantile_rule.hpp"

#include <cmath>

namespace tesrak {
namespace {

// The rule's three interpolations, each exactly as its 32-bit formula
// rounds. Only when that formula gives a non-finite result do they look
// closer: finite inputs (whose answer is finite) are redone in 64 bits, and
// an infinite end answers itself instead of the NaN of inf - inf.

// from + t * (to - from), t in [0, 1] unless NaN.
float toward(float from, float to, float t) noexcept {
  const float r = from + t * (to - from);
  if (std::isfinite(r) || std::isnan(from) || std::isnan(to) || std::isnan(t)) return r;
  if (std::isfinite(from) && std::isfinite(to)) {
    return static_cast<float>(from + static_cast<double>(t) * (static_cast<double>(to) - from));
  }
  if (from == to || t <= 0.0f) return from;
  if (t >= 1.0f) return to;
  return std::isinf(from) ? from : to;
}

// (z2 * left + z1 * right) / (z1 + z2), with z1, z2 >= 0 and z1 + z2 > 0.
float between(float left, float right, float z1, float z2) noexcept {
  const float r = (z2 * left + z1 * right) / (z1 + z2);
  if (std::isfinite(r) || std::isnan(left) || std::isnan(right)) return r;
  if (std::isfinite(left) && std::isfinite(right)) {
    const double wide = (static_cast<double>(z2) * left + static_cast<double>(z1) * right) /
                        (static_cast<double>(z1) + z2);
    return static_cast<float>(wide);
  }
  if (left == right || z1 == 0.0f) return left;
  if (z2 == 0.0f) return right;
  if (std::isinf(left) && std::isinf(right)) return z2 >= z1 ? left : right;
  return std::isinf(left) ? left : right;
}

float midpoint(float left, float right) noexcept {
  const float r = (left + right) * 0.5f;
  if (std::isfinite(r) || std::isnan(left) || std::isnan(right)) return r;
  if (std::isfinite(left) && std::isfinite(right)) {
    return static_cast<float>((static_cast<double>(left) + right) * 0.5);
  }
  return std::isinf(left) ? left : right;
}

float clamp_unit(float t) noexcept {
  // Two ordered tests, so a NaN passes through.
  if (t < 0.0f) t = 0.0f;
  if (t > 1.0f) t = 1.0f;
  return t;
}

}  // namespace

float quantile_from_centroids(std::span<const float> m, std::span<const std::uint32_t> w,
                              float total, float min, float max, float q) noexcept {
  const std::size_t n = m.size();
  if (n == 0 || total <= 0.0f) return 0.0f;
  if (q <= 0.0f) return min;
  if (q >= 1.0f) return max;
  if (n == 1) return m[0];

  // Left tail: between the minimum and the first centroid's centre.
  const float x = total * q;
  const float h = static_cast<float>(w[0]) * 0.5f;
  if (x <= h + 1.0f) {
    if (w[0] < 2) return min;
    const float d = h > 1.0f ? h - 1.0f : h;
    return toward(min, m[0], clamp_unit((x - 1.0f) / d));
  }

  // Right tail: between the last centroid's centre and the maximum.
  const float g = static_cast<float>(w[n - 1]) * 0.5f;
  if (x >= (total - 1.0f) - g) {
    if (w[n - 1] < 2) return max;
    const float d = g > 1.0f ? g - 1.0f : g;
    return toward(max, m[n - 1], clamp_unit(std::fmax((total - x) - 1.0f, 0.0f) / d));
  }

  // The neighbouring pair whose right centre lies at or beyond x. The test
  // is written "not beyond" so that a NaN level stops at the first pair.
  float before = 0.0f;
  for (std::size_t l = 0; l + 1 < n; ++l) {
    const float through_left = before + static_cast<float>(w[l]);
    const float right_centre = through_left + static_cast<float>(w[l + 1]) * 0.5f;
    if (!(x > right_centre)) {
      const std::size_t r = l + 1;
      const float dl = x - (before + static_cast<float>(w[l]) * 0.5f);
      if (w[l] == 1 && dl < 0.5f) return m[l];
      const float dr = right_centre - x;
      if (w[r] == 1 && dr <= 0.5f) return m[r];
      const float z1 = std::fmax(dl - (w[l] == 1 ? 0.5f : 0.0f), 0.0f);
      const float z2 = std::fmax(dr - (w[r] == 1 ? 0.5f : 0.0f), 0.0f);
      if (z1 + z2 <= 0.0f) return midpoint(m[l], m[r]);
      return between(m[l], m[r], z1, z2);
    }
    before = through_left;
  }
  return max;
}

}  // namespace tesrak
