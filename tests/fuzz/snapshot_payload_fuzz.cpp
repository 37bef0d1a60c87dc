// Decompressed payloads, decoded as either element type: the decoder is
// reached directly instead of through the compressor's checks, with the
// payload at once and in pieces.
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>

#include "exercise_digest.hpp"
#include "piecewise.hpp"

namespace {

template <typename T>
void decode_and_exercise(std::span<const std::uint8_t> payload) {
  const std::string whole = tesrak::fuzz::outcome(
      [&] { return tesrak::AnyDigest(tesrak::TensorDigest<T>::from_payload(payload)); });
  const std::string in_pieces = tesrak::fuzz::outcome([&] {
    tesrak::fuzz::PiecewiseSource source(payload, tesrak::fuzz::piece_size(payload));
    tesrak::detail::PayloadReader in(source);
    return tesrak::AnyDigest(tesrak::detail::PayloadDecoder<T>::decode(in));
  });
  tesrak::fuzz::expect_same(whole, in_pieces);
  try {
    auto digest = tesrak::TensorDigest<T>::from_payload(payload);
    tesrak::fuzz::exercise(digest);
  } catch (const tesrak::IoError&) {
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  decode_and_exercise<float>({data, size});
  decode_and_exercise<std::int32_t>({data, size});
  return 0;
}
