#pragma once

#include "tesrak/distribution.hpp"

namespace tesrak::detail {

// Builds the reference table from scratch, without touching the shared one
// that ref_profiles() lends out.
ReferenceTable build_reference_table();

// The table that ref_profiles() lends out (it passes build_reference_table).
// The first call builds it with `build`, and concurrent first callers wait
// for that; every later call returns it as built, and `build` goes unused.
const ReferenceTable& shared_reference_table(ReferenceTable (*build)());

}  // namespace tesrak::detail
