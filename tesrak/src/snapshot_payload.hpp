#pragma once

#include <cstdint>
#include <vector>

#include "tesrak/tensor_digest.hpp"

namespace tesrak::detail {

// The uncompressed snapshot of a digest: its fields in declaration order,
// little-endian, every list preceded by its 64-bit element count. The
// buffer is sized exactly before anything is written.
template <typename T>
std::vector<std::uint8_t> encode_payload(const TensorDigest<T>& digest);

// The exact length of that payload.
template <typename T>
std::uint64_t payload_size(const TensorDigest<T>& digest);

}  // namespace tesrak::detail
