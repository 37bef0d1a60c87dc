#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "storage/byte_stream.hpp"
#include "tesrak/tensor_digest.hpp"

namespace tesrak::detail {

// The uncompressed snapshot of a digest: its fields in declaration order,
// little-endian, every list preceded by its 64-bit element count.

// The exact length of the payload of `digest`.
template <typename T>
std::uint64_t payload_size(const TensorDigest<T>& digest);

// Puts the payload of `digest` into `out`, exactly payload_size bytes, in
// pieces: the lists pass straight from the digest's memory. Rows of the row
// buffer that were never written go out as the fill value.
template <typename T>
void encode_payload(const TensorDigest<T>& digest, ByteSink& out);

// The same payload, in memory.
template <typename T>
std::vector<std::uint8_t> encode_payload(const TensorDigest<T>& digest);

// A payload as the decoder reads it: the pieces of a source, consumed from
// the front. Running out of bytes where the payload must go on is the
// short-payload error.
class PayloadReader {
 public:
  explicit PayloadReader(ByteSource& source) noexcept : source_(source) {}

  // The next byte, left in place; none when the payload has ended.
  std::optional<std::uint8_t> peek();
  // The next `count` bytes, copied to `out`.
  void read(std::uint8_t* out, std::size_t count);
  // The next `count` bytes, copied to `out`, which holds zeros: blocks that
  // would stay zero are not written, so their pages stay untouched.
  void read_over_zeros(std::uint8_t* out, std::uint64_t count);
  // Passes over the next `count` bytes.
  void skip(std::uint64_t count);
  // Passes over the rest of the payload.
  void drain();

 private:
  // The unread bytes of the current piece, fetching the next piece when
  // it is used up; empty at the end of the payload.
  std::span<const std::uint8_t> unread();
  std::span<const std::uint8_t> take(std::uint64_t at_most);

  ByteSource& source_;
  std::span<const std::uint8_t> piece_;
};

// Decodes one payload of element type T as it is read, into a new digest.
// Every list is allocated only once its count is the one that the fields
// before it imply and the whole digest fits in the memory this process can
// have; any other list is read past without being stored. The payload is
// read to its end before any error but a short payload is reported, so a
// broken frame after the fields is still found.
template <typename T>
class PayloadDecoder {
 public:
  // Throws IoError (invalid data), or std::bad_alloc for a payload that
  // holds a well-formed digest too large for this process.
  static TensorDigest<T> decode(PayloadReader& in);
};

}  // namespace tesrak::detail
