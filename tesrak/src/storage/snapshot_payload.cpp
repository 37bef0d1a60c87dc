// The byte layout of a snapshot payload, its writer and its reader, which
// refuses any payload that would leave the digest's lists out of step with
// each other. Both work piece by piece: neither holds a whole payload.
#include "storage/snapshot_payload.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "sketch/digest_layout.hpp"
#include "support/memory_budget.hpp"
#include "tesrak/errors.hpp"

namespace tesrak {
namespace detail {
namespace {

// The message of a payload that ends before its last field does.
constexpr const char* kShortPayload = "io error: failed to fill whole buffer";

constexpr std::uint64_t kCountBytes = sizeof(std::uint64_t);

// The writer gathers small fields here and hands lists of at least this
// size to the sink straight from the digest.
constexpr std::size_t kStagingBytes = std::size_t{64} << 10;

// The reader leaves a block of a list unwritten when its bytes are all
// zero: the list's memory is zero already.
constexpr std::size_t kZeroBlock = 4096;

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

constexpr bool kLittleEndianHost = std::endian::native == std::endian::little;

// Writes the fields one after another into a sink. Small fields are
// gathered first; on a little-endian host a long list goes to the sink
// from its own memory.
class PayloadWriter {
 public:
  explicit PayloadWriter(ByteSink& out) : out_(out) {}

  template <typename V>
  void scalar(V value) {
    make_room(sizeof(V));
    store_le(staged_.data() + used_, value);
    used_ += sizeof(V);
  }

  template <typename List>
  void list(const List& values) {
    scalar<std::uint64_t>(values.size());
    elements(values.data(), values.size());
  }

  // The row buffer: the written entries as they are, the rest as `fill`.
  template <typename V>
  void row_buffer(const ZeroedList<V>& rows, std::uint64_t written, V fill) {
    scalar<std::uint64_t>(rows.size());
    const std::size_t real = static_cast<std::size_t>(std::min<std::uint64_t>(written, rows.size()));
    elements(rows.data(), real);
    repeated(fill, rows.size() - real);
  }

  void finish() {
    if (used_ > 0) out_.put({staged_.data(), used_});
    used_ = 0;
  }

 private:
  template <typename V>
  void elements(const V* values, std::size_t count) {
    const std::size_t bytes = count * sizeof(V);
    if (kLittleEndianHost && bytes >= kStagingBytes) {
      finish();
      out_.put({reinterpret_cast<const std::uint8_t*>(values), bytes});
      return;
    }
    for (std::size_t k = 0; k < count; ++k) scalar(values[k]);
  }

  // `count` copies of `value`, from one staged block of them.
  template <typename V>
  void repeated(V value, std::uint64_t count) {
    if (count == 0) return;
    finish();
    const std::size_t per_block = staged_.size() / sizeof(V);
    const std::size_t staged = static_cast<std::size_t>(std::min<std::uint64_t>(count, per_block));
    for (std::size_t k = 0; k < staged; ++k) store_le(staged_.data() + k * sizeof(V), value);
    for (; count >= per_block; count -= per_block) out_.put({staged_.data(), per_block * sizeof(V)});
    used_ = static_cast<std::size_t>(count) * sizeof(V);  // the rest stays staged
  }

  void make_room(std::size_t bytes) {
    if (used_ + bytes > staged_.size()) finish();
  }

  ByteSink& out_;
  std::array<std::uint8_t, kStagingBytes> staged_;
  std::size_t used_ = 0;
};

class VectorSink final : public ByteSink {
 public:
  explicit VectorSink(std::vector<std::uint8_t>& out) noexcept : out_(out) {}
  void put(std::span<const std::uint8_t> bytes) override {
    out_.insert(out_.end(), bytes.begin(), bytes.end());
  }

 private:
  std::vector<std::uint8_t>& out_;
};

template <typename List>
std::uint64_t list_bytes(const List& list) {
  return kCountBytes + static_cast<std::uint64_t>(list.size()) * sizeof(list[0]);
}

[[noreturn]] void short_payload() { throw IoError(IoErrorKind::InvalidData, kShortPayload); }

bool all_zero(const std::uint8_t* bytes, std::size_t count) noexcept {
  static constexpr std::array<std::uint8_t, kZeroBlock> kZeros{};
  return std::memcmp(bytes, kZeros.data(), count) == 0;
}

// Copies into memory that holds zeros, block by block of the destination,
// leaving out the blocks that would stay zero.
void copy_over_zeros(std::uint8_t* out, const std::uint8_t* in, std::size_t count) noexcept {
  while (count > 0) {
    const std::size_t to_boundary = kZeroBlock - reinterpret_cast<std::uintptr_t>(out) % kZeroBlock;
    const std::size_t n = std::min(count, to_boundary);
    if (!all_zero(in, n)) std::memcpy(out, in, n);
    out += n;
    in += n;
    count -= n;
  }
}

// Turns a list read as little-endian bytes into host order.
template <typename V>
void to_host_order(V* values, std::size_t count) noexcept {
  if constexpr (!kLittleEndianHost) {
    for (std::size_t k = 0; k < count; ++k) {
      std::uint8_t bytes[sizeof(V)];
      std::memcpy(bytes, &values[k], sizeof(V));
      values[k] = load_le<V>(bytes);
    }
  } else {
    (void)values;
    (void)count;
  }
}

std::uint64_t saturating_bytes(std::uint64_t count, std::uint64_t width) noexcept {
  std::uint64_t bytes;
  if (__builtin_mul_overflow(count, width, &bytes)) return std::numeric_limits<std::uint64_t>::max();
  return bytes;
}

// The list counts of a payload, in field order.
enum ListField { kRowBuffer, kMeans, kWeights, kCounts, kTotals, kMins, kMaxs, kListFields };

// What the invariant checks need of a decoded payload, whether or not its
// lists were kept.
struct PayloadSummary {
  std::optional<std::uint64_t> shape_cells;  // none: the product overflows
  std::uint64_t numel = 0;
  std::uint64_t compression = 0;
  std::uint64_t buffer_capacity = 0;
  std::uint64_t n_buffered = 0;
  std::uint64_t max_centroids = 0;
  std::uint64_t counts[kListFields] = {};
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

void expect_entries(const char* field, std::uint64_t count, std::optional<std::uint64_t> expected) {
  if (!expected) refuse(std::string(field) + " would need more than 2^64 entries");
  if (count != *expected) {
    refuse(std::string(field) + " holds " + text(count) + " entries, expected " + text(*expected));
  }
}

// Every list in step with numel, buffer_capacity and max_centroids, and
// the pending rows inside the buffer: the operations index the lists by
// these numbers without looking again, so a payload that breaks one is
// refused.
void check_layout(const PayloadSummary& s) {
  if (!s.shape_cells) refuse("the shape's cell count overflows 64 bits");
  if (s.numel != *s.shape_cells) {
    refuse("numel is " + text(s.numel) + ", but the shape holds " + text(*s.shape_cells) + " cells");
  }
  expect_derived("buffer_capacity", s.buffer_capacity, affine(2, s.compression, 0),
                 "2 x compression");
  expect_derived("max_centroids", s.max_centroids, affine(6, s.compression, 10),
                 "6 x compression + 10");

  expect_entries("row_buffer", s.counts[kRowBuffer], product(s.numel, s.buffer_capacity));
  expect_entries("centroids_means", s.counts[kMeans], product(s.numel, s.max_centroids));
  expect_entries("centroids_weights", s.counts[kWeights], product(s.numel, s.max_centroids));
  expect_entries("n_centroids", s.counts[kCounts], s.numel);
  expect_entries("total_weights", s.counts[kTotals], s.numel);
  expect_entries("mins", s.counts[kMins], s.numel);
  expect_entries("maxs", s.counts[kMaxs], s.numel);

  // Pending rows must lie inside the buffer. A digest without cells stores
  // nothing in its rows (its row buffer is empty whatever the count says),
  // and its next flush resets the count, so any count is harmless there.
  if (s.numel > 0) {
    const bool inside = s.buffer_capacity == 0 ? s.n_buffered == 0
                                               : s.n_buffered < s.buffer_capacity;
    if (!inside) {
      refuse("n_buffered is " + text(s.n_buffered) + ", but the buffer holds " +
             text(s.buffer_capacity) + " rows");
    }
  }
}

// Every cell's count inside its slots.
template <typename T>
void check_centroid_counts(const TensorDigest<T>& d) {
  for (std::size_t i = 0; i < d.n_centroids.size(); ++i) {
    if (d.n_centroids[i] > d.max_centroids) {
      refuse("n_centroids[" + text(i) + "] is " + text(d.n_centroids[i]) +
             ", above max_centroids " + text(d.max_centroids));
    }
  }
}

// Reads the fields of one payload into `d`, keeping what it can vouch for.
template <typename T>
class FieldReader {
 public:
  FieldReader(PayloadReader& in, TensorDigest<T>& d) : in_(in), d_(d) {}

  void read_all() {
    d_.dtype_tag = scalar<std::uint8_t>();
    shape();
    d_.numel = s_.numel = scalar<std::uint64_t>();
    d_.compression = s_.compression = scalar<std::uint64_t>();
    expect_layout();
    list(d_.row_buffer, kRowBuffer, expected_ ? expected_->row_entries : 0);
    d_.buffer_capacity = s_.buffer_capacity = derived(expected_ ? expected_->buffer_capacity : 0);
    d_.n_buffered = s_.n_buffered = scalar<std::uint64_t>();
    d_.max_centroids = s_.max_centroids = derived(expected_ ? expected_->max_centroids : 0);
    const std::uint64_t slots = expected_ ? expected_->slot_entries : 0;
    list(d_.centroids_means, kMeans, slots);
    list(d_.centroids_weights, kWeights, slots);
    list(d_.n_centroids, kCounts, d_.numel);
    list(d_.total_weights, kTotals, d_.numel);
    list(d_.mins, kMins, d_.numel);
    list(d_.maxs, kMaxs, d_.numel);
    d_.row_buffer_written = d_.row_buffer.size();
  }

  const PayloadSummary& summary() const noexcept { return s_; }
  bool too_large() const noexcept { return too_large_; }

 private:
  template <typename V>
  V scalar() {
    std::uint8_t bytes[sizeof(V)];
    in_.read(bytes, sizeof(V));
    return load_le<V>(bytes);
  }

  // The shape's entries are multiplied as they arrive, and kept only if
  // they fit in memory.
  void shape() {
    const std::uint64_t dims = scalar<std::uint64_t>();
    const bool keep = fits_in_usable_memory(saturating_bytes(dims, sizeof(std::uint64_t)));
    if (keep) {
      try {
        d_.shape.reserve(static_cast<std::size_t>(dims));
      } catch (const std::bad_alloc&) {
        too_large_ = true;
      }
    } else {
      too_large_ = true;
    }
    std::uint64_t cells = 1;
    bool overflow = false;
    for (std::uint64_t k = 0; k < dims; ++k) {
      const std::uint64_t dim = scalar<std::uint64_t>();
      overflow = overflow || __builtin_mul_overflow(cells, dim, &cells);
      if (!too_large_) d_.shape.push_back(dim);
    }
    if (!overflow) s_.shape_cells = cells;
  }

  // The list sizes a digest of this shape and compression has, if the
  // fields so far agree with each other; and whether it fits in memory.
  void expect_layout() {
    if (!s_.shape_cells || *s_.shape_cells != s_.numel) return;
    expected_ = DigestLayout::of(s_.numel, s_.compression);
    if (expected_ && !fits_in_usable_memory(expected_->bytes(d_.shape.size()))) too_large_ = true;
  }

  // A field that compression fixes; any other value dooms the payload.
  std::uint64_t derived(std::uint64_t expected) {
    const std::uint64_t stored = scalar<std::uint64_t>();
    if (stored != expected) expected_.reset();
    return stored;
  }

  // A list is stored only when its count is the expected one and nothing
  // so far dooms the payload; otherwise its bytes are read and dropped.
  template <typename List>
  void list(List& out, ListField field, std::uint64_t expected_count) {
    using V = typename List::value_type;
    const std::uint64_t count = scalar<std::uint64_t>();
    s_.counts[field] = count;
    if (count != expected_count) expected_.reset();
    if (expected_ && !too_large_) {
      try {
        out = List(static_cast<std::size_t>(count));
      } catch (const std::bad_alloc&) {
        too_large_ = true;
      }
    }
    if (!expected_ || too_large_) {
      in_.skip(saturating_bytes(count, sizeof(V)));
      return;
    }
    in_.read_over_zeros(reinterpret_cast<std::uint8_t*>(out.data()), count * sizeof(V));
    to_host_order(out.data(), out.size());
  }

  PayloadReader& in_;
  TensorDigest<T>& d_;
  PayloadSummary s_;
  // The sizes the remaining lists must have; none once the payload is
  // bound to be refused.
  std::optional<DigestLayout> expected_;
  // A well-formed digest that this process cannot hold.
  bool too_large_ = false;
};

}  // namespace

std::optional<std::uint8_t> PayloadReader::peek() {
  const std::span<const std::uint8_t> bytes = unread();
  if (bytes.empty()) return std::nullopt;
  return bytes.front();
}

std::span<const std::uint8_t> PayloadReader::unread() {
  if (piece_.empty()) piece_ = source_.next();
  return piece_;
}

std::span<const std::uint8_t> PayloadReader::take(std::uint64_t at_most) {
  const std::span<const std::uint8_t> bytes = unread();
  if (bytes.empty()) short_payload();
  const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(at_most, bytes.size()));
  piece_ = bytes.subspan(n);
  return bytes.first(n);
}

void PayloadReader::read(std::uint8_t* out, std::size_t count) {
  while (count > 0) {
    const std::span<const std::uint8_t> bytes = take(count);
    std::memcpy(out, bytes.data(), bytes.size());
    out += bytes.size();
    count -= bytes.size();
  }
}

void PayloadReader::read_over_zeros(std::uint8_t* out, std::uint64_t count) {
  while (count > 0) {
    const std::span<const std::uint8_t> bytes = take(count);
    copy_over_zeros(out, bytes.data(), bytes.size());
    out += bytes.size();
    count -= bytes.size();
  }
}

void PayloadReader::skip(std::uint64_t count) {
  while (count > 0) count -= take(count).size();
}

void PayloadReader::drain() {
  while (!unread().empty()) piece_ = {};
}

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
void encode_payload(const TensorDigest<T>& d, ByteSink& sink) {
  PayloadWriter out(sink);
  out.scalar(d.dtype_tag);
  out.list(d.shape);
  out.scalar(d.numel);
  out.scalar(d.compression);
  out.row_buffer(d.row_buffer, d.row_buffer_written, Element<T>::fill_min);
  out.scalar(d.buffer_capacity);
  out.scalar(d.n_buffered);
  out.scalar(d.max_centroids);
  out.list(d.centroids_means);
  out.list(d.centroids_weights);
  out.list(d.n_centroids);
  out.list(d.total_weights);
  out.list(d.mins);
  out.list(d.maxs);
  out.finish();
}

template <typename T>
std::vector<std::uint8_t> encode_payload(const TensorDigest<T>& d) {
  std::vector<std::uint8_t> payload;
  payload.reserve(static_cast<std::size_t>(payload_size(d)));
  VectorSink sink(payload);
  encode_payload(d, sink);
  return payload;
}

// All fields first, as stored, then the rest of the payload; then the tag,
// then the invariants. A short payload fails as soon as it ends.
template <typename T>
TensorDigest<T> PayloadDecoder<T>::decode(PayloadReader& in) {
  TensorDigest<T> d;
  FieldReader<T> fields(in, d);
  fields.read_all();
  in.drain();

  if (d.dtype_tag != Element<T>::tag) {
    throw IoError(IoErrorKind::InvalidData, "dtype mismatch: snapshot contains tag " +
                                                text(d.dtype_tag) + " but expected " +
                                                text(Element<T>::tag));
  }
  check_layout(fields.summary());
  if (fields.too_large()) throw std::bad_alloc();
  check_centroid_counts(d);
  return d;
}

#define TESRAK_INSTANTIATE(T)                                                         \
  template std::uint64_t payload_size(const TensorDigest<T>&);                        \
  template void encode_payload(const TensorDigest<T>&, ByteSink&);                    \
  template std::vector<std::uint8_t> encode_payload(const TensorDigest<T>&);          \
  template class PayloadDecoder<T>;
TESRAK_INSTANTIATE(float)
TESRAK_INSTANTIATE(std::int32_t)
#undef TESRAK_INSTANTIATE

}  // namespace detail

template <typename T>
TensorDigest<T> TensorDigest<T>::from_payload(std::span<const std::uint8_t> payload) {
  detail::SpanSource source(payload);
  detail::PayloadReader in(source);
  return detail::PayloadDecoder<T>::decode(in);
}

template TensorDigest<float> TensorDigest<float>::from_payload(std::span<const std::uint8_t>);
template TensorDigest<std::int32_t> TensorDigest<std::int32_t>::from_payload(
    std::span<const std::uint8_t>);

}  // namespace tesrak
