// Placeholder until the merges land.
#include "tesrak/errors.hpp"
#include "tesrak/tensor_digest.hpp"

namespace tesrak {

template <typename T>
TensorDigest<T> TensorDigest<T>::merge_cells(std::span<const std::uint64_t>) {
  throw EngineError("merge_cells: not built yet");
}
template <typename T>
TensorDigest<T> TensorDigest<T>::merge_channels(std::span<const std::uint64_t>) {
  throw EngineError("merge_channels: not built yet");
}
template <typename T>
TensorDigest<T> TensorDigest<T>::merge_all() {
  throw EngineError("merge_all: not built yet");
}
template <typename T>
TensorDigest<T> TensorDigest<T>::without_zeros() {
  throw EngineError("without_zeros: not built yet");
}

#define TESRAK_INSTANTIATE(T)                                                         \
  template TensorDigest<T> TensorDigest<T>::merge_cells(std::span<const std::uint64_t>); \
  template TensorDigest<T> TensorDigest<T>::merge_channels(std::span<const std::uint64_t>); \
  template TensorDigest<T> TensorDigest<T>::merge_all();                              \
  template TensorDigest<T> TensorDigest<T>::without_zeros();
TESRAK_INSTANTIATE(float)
TESRAK_INSTANTIATE(std::int32_t)

}  // namespace tesrak
