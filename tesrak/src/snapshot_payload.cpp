// The byte layout of a snapshot payload and its reader, which refuses any
// payload that would leave the digest's lists out of step with each other.
#include "snapshot_payload.hpp"

#include <bit>
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>

#include "tesrak/errors.hpp"

namespace tesrak {
namespace {

// The message of a payload that ends before its last field does.
constexpr const char* kShortPayload = "io error: failed to fill whole buffer";

constexpr std::uint64_t kCountBytes = sizeof(std::uint64_t);

template <std::size_t Bytes>
struct UnsignedOfSize;
template <>
struct UnsignedOfSize<1> {
  using type = std::uint8_t;
};
template <>
struct UnsignedOfSize<4> {
  using type = std::uint32_t;
};
template <>
struct UnsignedOfSize<8> {
  using type = std::uint64_t;
};

// Little-endian stores and loads of integers and floats of any width.
template <typename V>
void store_le(std::uint8_t* out, V value) noexcept {
  using Bits = typename UnsignedOfSize<sizeof(V)>::type;
  const Bits bits = std::bit_cast<Bits>(value);
  for (std::size_t b = 0; b < sizeof(V); ++b) out[b] = static_cast<std::uint8_t>(bits >> (8 * b));
}

template <typename V>
V load_le(const std::uint8_t* in) noexcept {
  using Bits = typename UnsignedOfSize<sizeof(V)>::type;
  Bits bits = 0;
  for (std::size_t b = 0; b < sizeof(V); ++b) bits |= static_cast<Bits>(Bits{in[b]} << (8 * b));
  return std::bit_cast<V>(bits);
}

// Writes the fields one after another into a buffer already sized for them.
class PayloadWriter {
 public:
  explicit PayloadWriter(std::uint8_t* out) noexcept : out_(out) {}

  template <typename V>
  void scalar(V value) noexcept {
    store_le(out_, value);
    out_ += sizeof(V);
  }

  template <typename V>
  void list(const std::vector<V>& values) noexcept {
    scalar<std::uint64_t>(values.size());
    if constexpr (std::endian::native == std::endian::little) {
      if (!values.empty()) std::memcpy(out_, values.data(), values.size() * sizeof(V));
      out_ += values.size() * sizeof(V);
    } else {
      for (const V& v : values) scalar(v);
    }
  }

 private:
  std::uint8_t* out_;
};

// Reads the fields one after another; running out of bytes anywhere is the
// short-payload error.
class PayloadReader {
 public:
  explicit PayloadReader(std::span<const std::uint8_t> in) noexcept : in_(in) {}

  template <typename V>
  V scalar() {
    need(sizeof(V));
    const V value = load_le<V>(in_.data() + pos_);
    pos_ += sizeof(V);
    return value;
  }

  // A count that the remaining bytes cannot hold fails here, before any
  // memory is set aside: the list could only have run out of bytes later on.
  // So a forged count costs nothing, and a list is allocated only once every
  // one of its elements is known to be there.
  template <typename V>
  void list(std::vector<V>& out) {
    const std::uint64_t count = scalar<std::uint64_t>();
    if (count > remaining() / sizeof(V)) throw IoError(IoErrorKind::InvalidData, kShortPayload);
    out.resize(static_cast<std::size_t>(count));
    const std::uint8_t* from = in_.data() + pos_;
    if constexpr (std::endian::native == std::endian::little) {
      if (count > 0) std::memcpy(out.data(), from, out.size() * sizeof(V));
    } else {
      for (std::size_t k = 0; k < out.size(); ++k) out[k] = load_le<V>(from + k * sizeof(V));
    }
    pos_ += out.size() * sizeof(V);
  }

 private:
  std::size_t remaining() const noexcept { return in_.size() - pos_; }

  void need(std::size_t bytes) const {
    if (bytes > remaining()) throw IoError(IoErrorKind::InvalidData, kShortPayload);
  }

  std::span<const std::uint8_t> in_;
  std::size_t pos_ = 0;
};

std::optional<std::uint64_t> product(std::uint64_t a, std::uint64_t b) noexcept {
  std::uint64_t result;
  if (__builtin_mul_overflow(a, b, &result)) return std::nullopt;
  return result;
}

std::optional<std::uint64_t> affine(std::uint64_t factor, std::uint64_t x,
                                    std::uint64_t offset) noexcept {
  std::uint64_t result;
  if (__builtin_mul_overflow(factor, x, &result)) return std::nullopt;
  if (__builtin_add_overflow(result, offset, &result)) return std::nullopt;
  return result;
}

[[noreturn]] void refuse(const std::string& what) {
  throw IoError(IoErrorKind::InvalidData, "invalid snapshot: " + what);
}

std::string text(std::uint64_t n) { return std::to_string(n); }

// A field derived from compression must hold exactly its derived value.
void expect_derived(const char* field, std::uint64_t stored, std::optional<std::uint64_t> expected,
                    const char* rule) {
  if (!expected) refuse(std::string(field) + " (" + rule + ") overflows 64 bits");
  if (stored != *expected) {
    refuse(std::string(field) + " is " + text(stored) + ", expected " + text(*expected) + " (" +
           rule + ")");
  }
}

template <typename V>
void expect_entries(const char* field, const std::vector<V>& list,
                    std::optional<std::uint64_t> expected) {
  if (!expected) refuse(std::string(field) + " would need more than 2^64 entries");
  if (list.size() != *expected) {
    refuse(std::string(field) + " holds " + text(list.size()) + " entries, expected " +
           text(*expected));
  }
}

// Every list in step with numel, buffer_capacity and max_centroids, and
// every count inside its list: the operations index the lists by these
// numbers without looking again, so a payload that breaks one is refused.
template <typename T>
void check_invariants(const TensorDigest<T>& d) {
  std::uint64_t cells = 1;
  for (std::uint64_t dim : d.shape) {
    if (__builtin_mul_overflow(cells, dim, &cells)) refuse("the shape's cell count overflows 64 bits");
  }
  if (d.numel != cells) {
    refuse("numel is " + text(d.numel) + ", but the shape holds " + text(cells) + " cells");
  }
  expect_derived("buffer_capacity", d.buffer_capacity, affine(2, d.compression, 0),
                 "2 x compression");
  expect_derived("max_centroids", d.max_centroids, affine(6, d.compression, 10),
                 "6 x compression + 10");

  expect_entries("row_buffer", d.row_buffer, product(d.numel, d.buffer_capacity));
  expect_entries("centroids_means", d.centroids_means, product(d.numel, d.max_centroids));
  expect_entries("centroids_weights", d.centroids_weights, product(d.numel, d.max_centroids));
  expect_entries("n_centroids", d.n_centroids, d.numel);
  expect_entries("total_weights", d.total_weights, d.numel);
  expect_entries("mins", d.mins, d.numel);
  expect_entries("maxs", d.maxs, d.numel);

  // Pending rows must lie inside the buffer. A digest without cells stores
  // nothing in its rows (its row buffer is empty whatever the count says),
  // and its next flush resets the count, so any count is harmless there.
  if (d.numel > 0) {
    const bool inside = d.buffer_capacity == 0 ? d.n_buffered == 0
                                               : d.n_buffered < d.buffer_capacity;
    if (!inside) {
      refuse("n_buffered is " + text(d.n_buffered) + ", but the buffer holds " +
             text(d.buffer_capacity) + " rows");
    }
  }

  for (std::size_t i = 0; i < d.n_centroids.size(); ++i) {
    if (d.n_centroids[i] > d.max_centroids) {
      refuse("n_centroids[" + text(i) + "] is " + text(d.n_centroids[i]) +
             ", above max_centroids " + text(d.max_centroids));
    }
  }
}

template <typename V>
std::uint64_t list_bytes(const std::vector<V>& list) {
  return kCountBytes + static_cast<std::uint64_t>(list.size()) * sizeof(V);
}

}  // namespace

namespace detail {

template <typename T>
std::uint64_t payload_size(const TensorDigest<T>& d) {
  // The lists exist in memory, so neither their byte counts nor their sum
  // can leave 64 bits.
  return sizeof(d.dtype_tag) + list_bytes(d.shape) + sizeof(d.numel) + sizeof(d.compression) +
         list_bytes(d.row_buffer) + sizeof(d.buffer_capacity) + sizeof(d.n_buffered) +
         sizeof(d.max_centroids) + list_bytes(d.centroids_means) +
         list_bytes(d.centroids_weights) + list_bytes(d.n_centroids) +
         list_bytes(d.total_weights) + list_bytes(d.mins) + list_bytes(d.maxs);
}

template <typename T>
std::vector<std::uint8_t> encode_payload(const TensorDigest<T>& d) {
  std::vector<std::uint8_t> payload(static_cast<std::size_t>(payload_size(d)));
  PayloadWriter out(payload.data());
  out.scalar(d.dtype_tag);
  out.list(d.shape);
  out.scalar(d.numel);
  out.scalar(d.compression);
  out.list(d.row_buffer);
  out.scalar(d.buffer_capacity);
  out.scalar(d.n_buffered);
  out.scalar(d.max_centroids);
  out.list(d.centroids_means);
  out.list(d.centroids_weights);
  out.list(d.n_centroids);
  out.list(d.total_weights);
  out.list(d.mins);
  out.list(d.maxs);
  return payload;
}

}  // namespace detail

// Decodes all fields first, as stored; then the tag, then the invariants.
// Bytes after the last field are ignored.
template <typename T>
TensorDigest<T> TensorDigest<T>::from_payload(std::span<const std::uint8_t> payload) {
  TensorDigest d;
  PayloadReader in(payload);
  d.dtype_tag = in.scalar<std::uint8_t>();
  in.list(d.shape);
  d.numel = in.scalar<std::uint64_t>();
  d.compression = in.scalar<std::uint64_t>();
  in.list(d.row_buffer);
  d.buffer_capacity = in.scalar<std::uint64_t>();
  d.n_buffered = in.scalar<std::uint64_t>();
  d.max_centroids = in.scalar<std::uint64_t>();
  in.list(d.centroids_means);
  in.list(d.centroids_weights);
  in.list(d.n_centroids);
  in.list(d.total_weights);
  in.list(d.mins);
  in.list(d.maxs);

  if (d.dtype_tag != Traits::tag) {
    throw IoError(IoErrorKind::InvalidData, "dtype mismatch: snapshot contains tag " +
                                                text(d.dtype_tag) + " but expected " +
                                                text(Traits::tag));
  }
  check_invariants(d);
  return d;
}

#define TESRAK_INSTANTIATE(T)                                                                \
  template std::uint64_t detail::payload_size(const TensorDigest<T>&);                       \
  template std::vector<std::uint8_t> detail::encode_payload(const TensorDigest<T>&);         \
  template TensorDigest<T> TensorDigest<T>::from_payload(std::span<const std::uint8_t>);
TESRAK_INSTANTIATE(float)
TESRAK_INSTANTIATE(std::int32_t)
#undef TESRAK_INSTANTIATE

}  // namespace tesrak
