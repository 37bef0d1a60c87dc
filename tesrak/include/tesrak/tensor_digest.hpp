#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "tesrak/distribution.hpp"
#include "tesrak/element.hpp"
#include "tesrak/wait_hook.hpp"
#include "tesrak/zeroed_list.hpp"

namespace tesrak {

namespace detail {
template <typename T>
class PayloadDecoder;
}  // namespace detail

// One cell's sketch as the quantile rule and the classifier read it: the
// ordered centroids plus the count and the extremes as 32-bit floats.
struct CellSketch {
  std::span<const float> means;
  std::span<const std::uint32_t> weights;
  float total;
  float min;
  float max;
};

// A t-digest for every cell of a tensor of fixed shape, fed by whole tensors.
//
// Values arrive as rows of a row buffer; every 2 x compression updates (and
// before every read) the rows are merged into each cell's centroids in one
// parallel pass. Centroid storage is cell-major with max_centroids slots per
// cell. T is float (dtype tag 0) or std::int32_t (tag 1); means are 32-bit
// floats and weights 32-bit counts in both.
//
// The lists that start at zero are ZeroedLists, so building a digest writes
// next to nothing and its memory is taken as the lists are used. The row
// buffer starts as zeros too, although its rows stand for the fill value
// (+infinity, or the largest int32) until an update writes them:
// row_buffer_written says how far that has happened.
//
// A plain value type: no locks inside. The owner must give each operation
// exclusive access (the parallel passes split the cells among themselves).
template <typename T>
struct TensorDigest {
  using Traits = Element<T>;

  // The fields, in the order of the snapshot payload.
  std::uint8_t dtype_tag = Traits::tag;
  std::vector<std::uint64_t> shape;
  std::uint64_t numel = 0;
  std::uint64_t compression = 0;
  ZeroedList<T> row_buffer;
  std::uint64_t buffer_capacity = 0;
  std::uint64_t n_buffered = 0;
  std::uint64_t max_centroids = 0;
  ZeroedList<float> centroids_means;
  ZeroedList<std::uint32_t> centroids_weights;
  ZeroedList<std::uint64_t> n_centroids;
  ZeroedList<std::uint32_t> total_weights;
  std::vector<T> mins;
  std::vector<T> maxs;

  // Not a snapshot field: the leading entries of row_buffer that hold what
  // was written there. The entries after them were never written and stand
  // for the fill value, which is what a snapshot stores for them; nothing
  // reads them before an update writes their row. Rows below n_buffered
  // are always written.
  std::uint64_t row_buffer_written = 0;

  // An empty digest with every list at its final size. Throws EngineError
  // when a size does not fit in 64 bits, std::bad_alloc when the lists
  // would take more memory than the process can have (checked before
  // anything is allocated) or memory is short.
  TensorDigest(std::vector<std::uint64_t> shape, std::uint64_t compression);

  // Stores `data` (numel values, copied bit for bit) as the next buffered row
  // and flushes when the buffer is full.
  void update(std::span<const T> data);

  // Merges the buffered rows into every cell, in one parallel pass.
  void flush();

  // One level for every cell, in cell order. Buffered rows are not seen.
  std::vector<float> quantile_no_flush(float q) const;

  // Many levels for one cell, after a flush. Throws EngineError when idx is
  // not below numel.
  std::vector<float> cell_quantiles(std::uint64_t idx, std::span<const float> qs);

  // The family of every cell, in cell order, after a flush.
  std::vector<Distribution> analyze();

  // New one-cell digests (shape [1]) pooling the listed cells, the listed
  // channels (each compressed on its own first), or every channel.
  TensorDigest merge_cells(std::span<const std::uint64_t> indices);
  TensorDigest merge_channels(std::span<const std::uint64_t> channel_indices);
  TensorDigest merge_all();

  // A copy of the same shape without the centroids whose mean is within
  // 1e-12 of zero.
  TensorDigest without_zeros();

  // Flushes, then writes the snapshot file. Throws IoError, or what `hook`
  // throws to give up waiting for the reader of a pipe; a path holding a NUL
  // byte is refused (invalid input) after the flush, before any file is
  // touched.
  void save(const std::string& path, const WaitHook& hook = {});

  // Decodes a decompressed snapshot payload of this element type. Throws
  // IoError (invalid data).
  static TensorDigest from_payload(std::span<const std::uint8_t> payload);

  // The inputs of the quantile rule for cell i (i < numel).
  CellSketch cell_sketch(std::uint64_t i) const;

 private:
  friend class detail::PayloadDecoder<T>;
  TensorDigest() = default;  // for the snapshot decoder
};

using FloatDigest = TensorDigest<float>;
using IntDigest = TensorDigest<std::int32_t>;

// A digest of either element type; the alternative's index is its dtype tag.
using AnyDigest = std::variant<FloatDigest, IntDigest>;

// Decodes a whole snapshot file (one or more zstd frames). Throws IoError,
// or std::bad_alloc for a digest too large for this process.
AnyDigest from_bytes(std::span<const std::uint8_t> bytes);

// Reads the snapshot file at `path` and decodes it as it is read. Throws
// IoError (invalid input, before anything else, for a path holding a NUL
// byte), std::bad_alloc for a digest too large for this process, or what
// `hook` throws to give up waiting for the writer of a pipe.
AnyDigest load_snapshot(const std::string& path, const WaitHook& hook = {});

}  // namespace tesrak
