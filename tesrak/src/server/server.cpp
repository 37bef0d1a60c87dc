// Placeholder until the visualizer lands.
#include "tesrak/server.hpp"

#include "tesrak/errors.hpp"

namespace tesrak {

template <typename T>
void serve_until(TensorDigest<T>&, const StopFlag&) {
  throw IoError(IoErrorKind::Other, "visualizer not built yet");
}

template void serve_until(TensorDigest<float>&, const StopFlag&);
template void serve_until(TensorDigest<std::int32_t>&, const StopFlag&);

}  // namespace tesrak
