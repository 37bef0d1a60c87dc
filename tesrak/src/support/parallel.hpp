#pragma once

#include <cstdint>
#include <utility>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

namespace tesrak::detail {

// The arena every parallel pass runs in when RAYON_NUM_THREADS, else
// RAYON_RS_NUM_CPUS, sets the pool size: exactly that many threads, the
// calling one included, whatever the CPU count. Without either variable it
// is null and passes run in the caller's own arena, oneTBB's default of
// every available CPU. The environment is read once, at the first pass.
tbb::task_arena* configured_pool();

// Runs body(begin, end) over contiguous sub-ranges of the cells [0, n) on the
// shared pool, with its default splitting, and waits for all of them. A
// range of at most `grain` cells is not split further, so no task gets less
// than about half of it (unless n itself is smaller). A task must write only
// the storage of its own cells.
template <typename Body>
void for_each_cell_range(std::uint64_t n, std::uint64_t grain, Body&& body) {
  const auto pass = [&] {
    tbb::parallel_for(tbb::blocked_range<std::uint64_t>(0, n, grain),
                      [&body](const tbb::blocked_range<std::uint64_t>& r) { body(r.begin(), r.end()); });
  };
  if (tbb::task_arena* pool = configured_pool()) {
    pool->execute(pass);
  } else {
    pass();
  }
}

template <typename Body>
void for_each_cell_range(std::uint64_t n, Body&& body) {
  for_each_cell_range(n, 1, std::forward<Body>(body));
}

}  // namespace tesrak::detail
