#pragma once

#include <cstdint>
#include <vector>

#include "tesrak/errors.hpp"
#include "tesrak/tensor_digest.hpp"

namespace tesrak::fuzz {

// Digests up to this many cells are driven through the operations after
// loading; bigger ones only cost time without reaching new code.
inline constexpr std::uint64_t kExercisedCells = 64;

// Drives a freshly decoded digest through the operations that index its
// lists by its own counts. Any of them may refuse with an EngineError (an
// overfull cell, say); none may read or write outside a list.
template <typename T>
void exercise(TensorDigest<T>& d) {
  if (d.numel > kExercisedCells) return;
  try {
    const float levels[] = {0.0f, 0.25f, 0.5f, 0.99f, 1.0f};
    if (d.numel > 0) d.cell_quantiles(d.numel - 1, levels);
    (void)d.quantile_no_flush(0.5f);
    const std::uint64_t cells[] = {0, d.numel > 0 ? d.numel - 1 : 0};
    if (d.numel > 0) d.merge_cells(cells);
    d.merge_all();
    d.without_zeros();
    if (d.buffer_capacity > 0 || d.numel == 0) {
      std::vector<T> row(d.numel, T{1});
      d.update(row);
      d.flush();
    }
  } catch (const EngineError&) {
  }
}

}  // namespace tesrak::fuzz
