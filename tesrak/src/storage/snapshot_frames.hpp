#pragma once

#include "storage/byte_stream.hpp"
#include "tesrak/tensor_digest.hpp"

namespace tesrak::detail {

// Decompresses the zstd frames of a snapshot file as they arrive from
// `file` and decodes the payload as it is decompressed. Throws IoError, or
// std::bad_alloc for a digest too large for this process.
AnyDigest decode_frames(ByteSource& file);

}  // namespace tesrak::detail
