// Placeholder until the classifier lands.
#include "tesrak/classifier.hpp"

#include "tesrak/errors.hpp"

namespace tesrak {

Distribution analyze_element(std::span<const float>, std::span<const std::uint32_t>, float, float,
                             float) noexcept {
  return Distribution::Unknown;
}

template <typename T>
std::vector<Distribution> TensorDigest<T>::analyze() {
  throw EngineError("analyze: not built yet");
}

template std::vector<Distribution> TensorDigest<float>::analyze();
template std::vector<Distribution> TensorDigest<std::int32_t>::analyze();

}  // namespace tesrak
