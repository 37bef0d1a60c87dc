#pragma once

#include "classify/profile.hpp"
#include "tesrak/distribution.hpp"

namespace tesrak::detail {

// Farthest L1 distance at which a profile still counts as its nearest family.
inline constexpr float kFitThreshold = 10.8f;

// The L1 distance between two profiles over all slots, summed in a fixed
// order: lane j % 8 of eight partial sums, each taking its slots in ascending
// order, then (((S0 + S1) + S2) + S3) + (((S4 + S5) + S6) + S7). The order
// fixes the last bits, and so which family wins a near tie.
float profile_distance(const Profile& a, const Profile& b) noexcept;

// The row of `table` nearest to `profile` (ties to the lower code, distances
// ranked by IEEE 754 totalOrder), or Unknown when even that row lies farther
// than kFitThreshold.
Distribution nearest_family(const Profile& profile, const ReferenceTable& table) noexcept;

}  // namespace tesrak::detail
