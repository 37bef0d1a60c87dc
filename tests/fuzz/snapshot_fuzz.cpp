// Whole snapshot files, compressed frames and all: any input either loads
// as a digest that the operations can use, or fails with an IoError.
#include <cstddef>
#include <cstdint>
#include <variant>

#include "exercise_digest.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  try {
    tesrak::AnyDigest digest = tesrak::from_bytes({data, size});
    std::visit([](auto& d) { tesrak::fuzz::exercise(d); }, digest);
  } catch (const tesrak::IoError&) {
  }
  return 0;
}
