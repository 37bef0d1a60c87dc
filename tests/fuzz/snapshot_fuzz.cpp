// Whole snapshot files, compressed frames and all: any input either loads
// as a digest that the operations can use, or fails with an IoError; and it
// comes to the same whether the reader gets it at once or in pieces.
#include <cstddef>
#include <cstdint>
#include <new>
#include <variant>

#include "exercise_digest.hpp"
#include "piecewise.hpp"
#include "storage/snapshot_frames.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> file(data, size);
  const std::string whole = tesrak::fuzz::outcome([&] { return tesrak::from_bytes(file); });
  const std::string in_pieces = tesrak::fuzz::outcome([&] {
    tesrak::fuzz::PiecewiseSource source(file, tesrak::fuzz::piece_size(file));
    return tesrak::detail::decode_frames(source);
  });
  tesrak::fuzz::expect_same(whole, in_pieces);
  try {
    tesrak::AnyDigest digest = tesrak::from_bytes(file);
    std::visit([](auto& d) { tesrak::fuzz::exercise(d); }, digest);
  } catch (const tesrak::IoError&) {
  } catch (const std::bad_alloc&) {
  }
  return 0;
}
