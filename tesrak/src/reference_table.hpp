#pragma once

#include "tesrak/distribution.hpp"

namespace tesrak::detail {

// Builds the reference table from scratch, without touching the shared one
// that ref_profiles() lends out.
ReferenceTable build_reference_table();

// How many times the shared table has been built in this process: 0 before
// the first classification that needed it, 1 ever after.
unsigned shared_reference_builds() noexcept;

}  // namespace tesrak::detail
