#pragma once

#include <cstdint>
#include <utility>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

namespace tesrak::detail {

// Limits the shared worker pool to RAYON_NUM_THREADS, else RAYON_RS_NUM_CPUS,
// else every available CPU. The environment is read once, at the first pass.
void apply_thread_limit();

// Runs body(begin, end) over contiguous sub-ranges of the cells [0, n) on the
// shared pool, with its default splitting, and waits for all of them. A
// range of at most `grain` cells is not split further, so no task gets less
// than about half of it (unless n itself is smaller). A task must write only
// the storage of its own cells.
template <typename Body>
void for_each_cell_range(std::uint64_t n, std::uint64_t grain, Body&& body) {
  apply_thread_limit();
  tbb::parallel_for(tbb::blocked_range<std::uint64_t>(0, n, grain),
                    [&body](const tbb::blocked_range<std::uint64_t>& r) { body(r.begin(), r.end()); });
}

template <typename Body>
void for_each_cell_range(std::uint64_t n, Body&& body) {
  for_each_cell_range(n, 1, std::forward<Body>(body));
}

}  // namespace tesrak::detail
