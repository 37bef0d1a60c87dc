#include "tesrak/distribution.hpp"

#include <ostream>

#include <boost/math/distributions/laplace.hpp>
#include <boost/math/distributions/lognormal.hpp>
#include <boost/math/distributions/normal.hpp>
#include <boost/math/distributions/uniform.hpp>

#include "classify/profile.hpp"
#include "classify/reference_table.hpp"

namespace tesrak {
namespace {

using detail::Profile;

// Each family in a form with mean 0 and variance 1. The last bits of these
// constants decide the last bits of the table, so they stay exactly as
// written.
constexpr double kUniformHalfWidth = 1.7320508075688772;  // sqrt(3)
constexpr double kLaplaceScale = 0.7071067811865475;      // 1/sqrt(2), one ulp low
constexpr double kBiNormalOffset = 0.8660254037844387;    // sqrt(3)/2, one ulp high
constexpr double kBiNormalSigma = 0.5;
// The log-normal(0, 1) is shifted and scaled by these 32-bit constants after
// narrowing: its mean e^0.5 and its standard deviation, as rounded once.
constexpr float kLogNormalMean = 1.6487213f;
constexpr float kLogNormalStdDev = 2.1612f;

// The mixture quantile is found by bisection over a bracket far beyond both
// components' tails, for a fixed number of halvings.
constexpr double kBisectionLow = -20.0;
constexpr double kBisectionHigh = 20.0;
constexpr int kBisectionSteps = 60;

// CDF of the equal mixture of N(-s, 0.5) and N(+s, 0.5). Each component is
// standardised as (x +/- s) / 0.5, formed as (x +/- s) + (x +/- s).
double binormal_cdf(double x) {
  static_assert(kBiNormalSigma == 0.5, "the doubling below divides by sigma");
  const boost::math::normal_distribution<double> standard(0.0, 1.0);
  const double left = x + kBiNormalOffset;
  const double right = x + (-kBiNormalOffset);
  return boost::math::cdf(standard, left + left) * 0.5 +
         boost::math::cdf(standard, right + right) * 0.5;
}

// Bisects the mixture CDF for p; a CDF exactly equal to p moves the upper end.
double binormal_quantile(double p) {
  double lo = kBisectionLow;
  double hi = kBisectionHigh;
  for (int step = 0; step < kBisectionSteps; ++step) {
    const double mid = (lo + hi) * 0.5;
    if (binormal_cdf(mid) < p) {
      lo = mid;
    } else {
      hi = mid;
    }
  }
  return (hi + lo) * 0.5;
}

float narrow(double v) { return static_cast<float>(v); }

float narrow_lognormal(double v) {
  return (static_cast<float>(v) - kLogNormalMean) / kLogNormalStdDev;
}

// One family's row: its 64-bit quantile function `quantile`, each result
// narrowed by `to_float`, standardised in 32-bit arithmetic by the family's
// own median and half-spread.
template <typename Quantile, typename ToFloat>
Profile standardised_row(Quantile quantile, ToFloat to_float) {
  const auto at = [&](float level) { return to_float(quantile(static_cast<double>(level))); };
  const float med = at(detail::kMedianLevel);
  const float hi = at(detail::kUpperSpreadLevel);
  const float lo = at(detail::kLowerSpreadLevel);
  const float spread = (hi - lo) * 0.5f;
  Profile row{};
  for (std::size_t i = 0; i < kProfileLevels; ++i) {
    row[i] = (at(detail::kProfileLevelValues[i]) - med) / spread;
  }
  return row;
}

template <typename Dist>
auto quantile_of(const Dist& dist) {
  return [dist](double p) { return boost::math::quantile(dist, p); };
}

}  // namespace

std::string_view label(Distribution d) noexcept {
  switch (d) {
    case Distribution::Normal: return "Normal";
    case Distribution::Uniform: return "Uniform";
    case Distribution::Laplace: return "Laplace";
    case Distribution::LogNormal: return "LogNormal";
    case Distribution::BiNormal: return "BiNormal";
    case Distribution::Unknown: break;
  }
  return "Unknown";
}

std::ostream& operator<<(std::ostream& os, Distribution d) {
  // Labels are never padded; the width is consumed as any inserter would, so
  // it does not leak into the next item.
  const std::string_view text = label(d);
  os.width(0);
  return os.write(text.data(), static_cast<std::streamsize>(text.size()));
}

namespace detail {

ReferenceTable build_reference_table() {
  using boost::math::laplace_distribution;
  using boost::math::lognormal_distribution;
  using boost::math::normal_distribution;
  using boost::math::uniform_distribution;

  ReferenceTable table{};
  table[static_cast<std::size_t>(Distribution::Normal)] =
      standardised_row(quantile_of(normal_distribution<double>(0.0, 1.0)), narrow);
  table[static_cast<std::size_t>(Distribution::Uniform)] = standardised_row(
      quantile_of(uniform_distribution<double>(-kUniformHalfWidth, kUniformHalfWidth)), narrow);
  table[static_cast<std::size_t>(Distribution::Laplace)] =
      standardised_row(quantile_of(laplace_distribution<double>(0.0, kLaplaceScale)), narrow);
  table[static_cast<std::size_t>(Distribution::LogNormal)] = standardised_row(
      quantile_of(lognormal_distribution<double>(0.0, 1.0)), narrow_lognormal);
  table[static_cast<std::size_t>(Distribution::BiNormal)] =
      standardised_row(binormal_quantile, narrow);
  return table;
}

const ReferenceTable& shared_reference_table(ReferenceTable (*build)()) {
  // The first caller builds the table (a few thousand CDF evaluations, so
  // never at import); callers arriving meanwhile wait on the static's guard,
  // and every later call costs one acquire load of it.
  static const ReferenceTable table = build();
  return table;
}

}  // namespace detail

const ReferenceTable& ref_profiles() {
  return detail::shared_reference_table(detail::build_reference_table);
}

}  // namespace tesrak
