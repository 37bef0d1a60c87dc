#include <string>

#include "support/parallel.hpp"
#include "tesrak/errors.hpp"
#include "tesrak/quantile_rule.hpp"
#include "tesrak/tensor_digest.hpp"

namespace tesrak {

template <typename T>
std::vector<float> TensorDigest<T>::quantile_no_flush(float q) const {
  std::vector<float> result(numel);
  detail::for_each_cell_range(numel, [&](std::uint64_t begin, std::uint64_t end) {
    for (std::uint64_t i = begin; i < end; ++i) {
      result[i] = quantile_from_centroids(cell_sketch(i), q);
    }
  });
  return result;
}

template <typename T>
std::vector<float> TensorDigest<T>::cell_quantiles(std::uint64_t idx, std::span<const float> qs) {
  flush();
  if (idx >= numel) {
    throw EngineError("cell index " + std::to_string(idx) + " is out of range for " +
                      std::to_string(numel) + " cells");
  }
  const CellSketch cell = cell_sketch(idx);
  std::vector<float> result;
  result.reserve(qs.size());
  for (float q : qs) result.push_back(quantile_from_centroids(cell, q));
  return result;
}

#define TESRAK_INSTANTIATE(T)                                                 \
  template std::vector<float> TensorDigest<T>::quantile_no_flush(float) const; \
  template std::vector<float> TensorDigest<T>::cell_quantiles(std::uint64_t,   \
                                                              std::span<const float>);
TESRAK_INSTANTIATE(float)
TESRAK_INSTANTIATE(std::int32_t)
#undef TESRAK_INSTANTIATE

}  // namespace tesrak
