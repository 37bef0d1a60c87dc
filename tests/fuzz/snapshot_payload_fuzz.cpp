// Decompressed payloads, decoded as either element type: the decoder is
// reached directly instead of through the compressor's checks.
#include <cstddef>
#include <cstdint>
#include <span>

#include "exercise_digest.hpp"

namespace {

template <typename T>
void decode_and_exercise(std::span<const std::uint8_t> payload) {
  try {
    auto digest = tesrak::TensorDigest<T>::from_payload(payload);
    tesrak::fuzz::exercise(digest);
  } catch (const tesrak::IoError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  decode_and_exercise<float>({data, size});
  decode_and_exercise<std::int32_t>({data, size});
  return 0;
}
