#include "tesrak/tensor_digest.hpp"

#include <algorithm>
#include <new>
#include <string>

#include "sketch/digest_layout.hpp"
#include "support/memory_budget.hpp"
#include "tesrak/errors.hpp"

namespace tesrak {
namespace {

[[noreturn]] void refuse_oversized() {
  throw EngineError("digest too large: its sizes overflow 64-bit integers");
}

std::uint64_t cell_count(const std::vector<std::uint64_t>& shape) {
  std::uint64_t numel = 1;
  for (std::uint64_t dim : shape) {
    if (__builtin_mul_overflow(numel, dim, &numel)) refuse_oversized();
  }
  return numel;
}

// A list of `count` copies of `fill`; a count beyond what a vector can hold
// is an allocation failure like any other.
template <typename V>
std::vector<V> filled_list(std::uint64_t count, V fill) {
  if (count > std::vector<V>().max_size()) throw std::bad_alloc();
  return std::vector<V>(static_cast<std::size_t>(count), fill);
}

}  // namespace

// Every size is known, and checked against the memory the process can
// have, before the first list is allocated. The lists that start at zero
// (the row buffer's stand-in zeros included) cost no writes.
template <typename T>
TensorDigest<T>::TensorDigest(std::vector<std::uint64_t> shape_, std::uint64_t compression_)
    : shape(std::move(shape_)), compression(compression_) {
  numel = cell_count(shape);
  const auto layout = detail::DigestLayout::of(numel, compression);
  if (!layout) refuse_oversized();
  detail::refuse_beyond_usable_memory(layout->bytes(shape.size()));
  buffer_capacity = layout->buffer_capacity;
  max_centroids = layout->max_centroids;

  row_buffer = ZeroedList<T>(layout->row_entries);
  centroids_means = ZeroedList<float>(layout->slot_entries);
  centroids_weights = ZeroedList<std::uint32_t>(layout->slot_entries);
  n_centroids = ZeroedList<std::uint64_t>(numel);
  total_weights = ZeroedList<std::uint32_t>(numel);
  mins = filled_list<T>(numel, Traits::fill_min);
  maxs = filled_list<T>(numel, Traits::fill_max);
}

template <typename T>
void TensorDigest<T>::update(std::span<const T> data) {
  if (data.size() != numel) {
    throw EngineError("data length " + std::to_string(data.size()) + " does not match numel " +
                      std::to_string(numel));
  }
  if (numel > 0 && buffer_capacity == 0) {
    throw EngineError("cannot store an update: compression must be at least 1");
  }
  // Rows are written in order from the first, so no unwritten row lies
  // before this one.
  const std::uint64_t first = n_buffered * numel;
  std::copy(data.begin(), data.end(), row_buffer.begin() + first);
  row_buffer_written = std::max(row_buffer_written, first + numel);
  ++n_buffered;
  if (n_buffered == buffer_capacity) flush();
}

template <typename T>
CellSketch TensorDigest<T>::cell_sketch(std::uint64_t i) const {
  const std::uint64_t first = i * max_centroids;
  const std::uint64_t n = n_centroids[i];
  return CellSketch{
      std::span<const float>(centroids_means.data() + first, n),
      std::span<const std::uint32_t>(centroids_weights.data() + first, n),
      static_cast<float>(total_weights[i]),
      Traits::to_float(mins[i]),
      Traits::to_float(maxs[i]),
  };
}

#define TESRAK_INSTANTIATE(T)                                                        \
  template TensorDigest<T>::TensorDigest(std::vector<std::uint64_t>, std::uint64_t); \
  template void TensorDigest<T>::update(std::span<const T>);                         \
  template CellSketch TensorDigest<T>::cell_sketch(std::uint64_t) const;
TESRAK_INSTANTIATE(float)
TESRAK_INSTANTIATE(std::int32_t)
#undef TESRAK_INSTANTIATE

}  // namespace tesrak
