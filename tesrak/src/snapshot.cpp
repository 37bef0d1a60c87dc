// Placeholder until the snapshot codec lands.
#include "tesrak/errors.hpp"
#include "tesrak/tensor_digest.hpp"

namespace tesrak {

template <typename T>
void TensorDigest<T>::save(const std::string&) {
  throw IoError(IoErrorKind::Other, "save: not built yet");
}
template <typename T>
TensorDigest<T> TensorDigest<T>::from_payload(std::span<const std::uint8_t>) {
  throw IoError(IoErrorKind::InvalidData, "load: not built yet");
}

AnyDigest from_bytes(std::span<const std::uint8_t>) {
  throw IoError(IoErrorKind::InvalidData, "load: not built yet");
}

AnyDigest load_snapshot(const std::string&) {
  throw IoError(IoErrorKind::InvalidData, "load: not built yet");
}

template void TensorDigest<float>::save(const std::string&);
template void TensorDigest<std::int32_t>::save(const std::string&);
template TensorDigest<float> TensorDigest<float>::from_payload(std::span<const std::uint8_t>);
template TensorDigest<std::int32_t> TensorDigest<std::int32_t>::from_payload(
    std::span<const std::uint8_t>);

}  // namespace tesrak
