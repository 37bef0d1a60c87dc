#include "tesrak/tensor_digest.hpp"

#include <algorithm>
#include <new>
#include <string>

#include "tesrak/errors.hpp"

namespace tesrak {
namespace {

// a * b, or an EngineError when the product leaves 64 bits.
std::uint64_t checked_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product;
  if (__builtin_mul_overflow(a, b, &product)) {
    throw EngineError("digest too large: its sizes overflow 64-bit integers");
  }
  return product;
}

std::uint64_t checked_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum;
  if (__builtin_add_overflow(a, b, &sum)) {
    throw EngineError("digest too large: its sizes overflow 64-bit integers");
  }
  return sum;
}

// A list of `count` copies of `fill`; a count beyond what a vector can hold
// is an allocation failure like any other.
template <typename V>
std::vector<V> make_list(std::uint64_t count, V fill) {
  if (count > std::vector<V>().max_size()) throw std::bad_alloc();
  return std::vector<V>(static_cast<std::size_t>(count), fill);
}

}  // namespace

template <typename T>
TensorDigest<T>::TensorDigest(std::vector<std::uint64_t> shape_, std::uint64_t compression_)
    : shape(std::move(shape_)), compression(compression_) {
  numel = 1;
  for (std::uint64_t dim : shape) numel = checked_mul(numel, dim);
  buffer_capacity = checked_mul(2, compression);
  max_centroids = checked_add(checked_mul(6, compression), 10);
  const std::uint64_t slots = checked_mul(numel, max_centroids);

  row_buffer = make_list<T>(checked_mul(numel, buffer_capacity), Traits::fill_min);
  centroids_means = make_list<float>(slots, 0.0f);
  centroids_weights = make_list<std::uint32_t>(slots, 0);
  n_centroids = make_list<std::uint64_t>(numel, 0);
  total_weights = make_list<std::uint32_t>(numel, 0);
  mins = make_list<T>(numel, Traits::fill_min);
  maxs = make_list<T>(numel, Traits::fill_max);
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
  std::copy(data.begin(), data.end(), row_buffer.begin() + n_buffered * numel);
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
