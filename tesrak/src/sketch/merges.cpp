#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <numeric>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "support/memory_budget.hpp"
#include "sketch/total_order.hpp"
#include "tesrak/errors.hpp"
#include "tesrak/merge_rule.hpp"
#include "tesrak/tensor_digest.hpp"

namespace tesrak {
namespace {

// Centroids whose mean lies within this distance of zero count as zeros.
constexpr float kZeroEpsilon = 1e-12f;

// Every merge result is a single cell.
const std::vector<std::uint64_t> kOneCellShape{1};

struct Centroid {
  float mean;
  std::uint32_t weight;
};

void sort_by_mean(std::vector<Centroid>& pairs) {
  std::sort(pairs.begin(), pairs.end(), [](const Centroid& a, const Centroid& b) {
    return detail::total_order_key(a.mean) < detail::total_order_key(b.mean);
  });
}

// Centroids and extremes gathered from several cells, to be compressed into
// one. The extremes start at the fill values and move only on strict
// comparisons, so a NaN extreme never replaces them.
template <typename T>
class Pool {
 public:
  // Makes room for `count` centroids, once the memory check has found room
  // for them and for the copies compress_into makes: a list that names a
  // cell many times asks for far more than the digest holds, and such a
  // request must be refused, not ended by the system's out-of-memory killer.
  void reserve(std::uint64_t count) {
    constexpr std::uint64_t kBytesPerCentroid =
        sizeof(Centroid) + sizeof(float) + sizeof(std::uint32_t);
    std::uint64_t bytes;
    if (__builtin_mul_overflow(count, kBytesPerCentroid, &bytes) || count > pairs_.max_size()) {
      throw std::bad_alloc();
    }
    detail::refuse_beyond_usable_memory(bytes);
    pairs_.reserve(static_cast<std::size_t>(count));
  }

  void add_centroid(float mean, std::uint32_t weight) { pairs_.push_back({mean, weight}); }

  void add_extremes(T min, T max) noexcept {
    if (min < min_) min_ = min;
    if (max > max_) max_ = max;
  }

  // Cell i of `d`: its centroids in slot order, then its extremes.
  void add_cell(const TensorDigest<T>& d, std::uint64_t i) {
    const std::uint64_t first = i * d.max_centroids;
    for (std::uint64_t k = 0; k < d.n_centroids[i]; ++k) {
      add_centroid(d.centroids_means[first + k], d.centroids_weights[first + k]);
    }
    add_extremes(d.mins[i], d.maxs[i]);
  }

  bool empty() const noexcept { return pairs_.empty(); }
  T min() const noexcept { return min_; }
  T max() const noexcept { return max_; }

  // Sorts the gathered centroids and merges them into cell 0 of a one-cell
  // digest. The extremes are the caller's business.
  void compress_into(TensorDigest<T>& r) {
    sort_by_mean(pairs_);
    in_means_.resize(pairs_.size());
    in_weights_.resize(pairs_.size());
    for (std::size_t k = 0; k < pairs_.size(); ++k) {
      in_means_[k] = pairs_[k].mean;
      in_weights_[k] = pairs_[k].weight;
    }
    compress(r.centroids_means, r.centroids_weights, r.n_centroids[0], r.total_weights[0],
             in_means_, in_weights_, r.compression, r.max_centroids);
  }

  void clear() noexcept {
    pairs_.clear();
    min_ = Element<T>::fill_min;
    max_ = Element<T>::fill_max;
  }

 private:
  std::vector<Centroid> pairs_;
  std::vector<float> in_means_;  // the sorted pairs split for compress
  std::vector<std::uint32_t> in_weights_;
  T min_ = Element<T>::fill_min;
  T max_ = Element<T>::fill_max;
};

// The cells of one plane: the last two dimensions, or the whole tensor when
// there are fewer than two. Wraps modulo 2^64 like numel.
std::uint64_t plane_size(const std::vector<std::uint64_t>& shape, std::uint64_t numel) noexcept {
  const std::size_t ndim = shape.size();
  if (ndim < 2) return numel;
  return shape[ndim - 2] * shape[ndim - 1];
}

// Sets `end` to the first cell past channel k; false when the channel lies
// beyond the tensor. With empty planes every channel is empty, and valid.
bool channel_end(std::uint64_t k, std::uint64_t plane, std::uint64_t numel, std::uint64_t& end) {
  if (plane == 0) {
    end = 0;
    return true;
  }
  std::uint64_t count;
  if (__builtin_add_overflow(k, 1, &count)) return false;
  if (__builtin_mul_overflow(count, plane, &end)) return false;
  return end <= numel;
}

// The centroids that the listed cells hold, each cell counted once per
// listing (at most 2^64 - 1). Fails at the first index beyond the cells.
template <typename T>
std::uint64_t listed_centroids(const TensorDigest<T>& d, std::span<const std::uint64_t> indices) {
  std::uint64_t total = 0;
  for (std::uint64_t i : indices) {
    if (i >= d.numel) {
      throw EngineError("merge_cells: cell index " + std::to_string(i) + " is out of range for " +
                        std::to_string(d.numel) + " cells");
    }
    if (__builtin_add_overflow(total, d.n_centroids[i], &total)) total = UINT64_MAX;
  }
  return total;
}

// Rounds toward zero and saturates; NaN becomes 0.
std::int32_t truncate_saturating(float v) noexcept {
  constexpr float kTwoTo31 = 2147483648.0f;
  if (std::isnan(v)) return 0;
  if (v >= kTwoTo31) return std::numeric_limits<std::int32_t>::max();
  if (v < -kTwoTo31) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(v);
}

// A source extreme that is zero (for floats: within the zero threshold, or
// NaN) says nothing once the zeros are gone; the nearest kept mean stands in.
template <typename T>
T extreme_without_zeros(T stored, float kept_mean) noexcept {
  if constexpr (std::is_same_v<T, float>) {
    return std::fabs(stored) > kZeroEpsilon ? stored : kept_mean;
  } else {
    return stored != 0 ? stored : truncate_saturating(kept_mean);
  }
}

}  // namespace

template <typename T>
TensorDigest<T> TensorDigest<T>::merge_cells(std::span<const std::uint64_t> indices) {
  flush();
  TensorDigest result(kOneCellShape, compression);
  if (indices.empty()) return result;

  Pool<T> pool;
  pool.reserve(listed_centroids(*this, indices));
  for (std::uint64_t i : indices) pool.add_cell(*this, i);
  result.mins[0] = pool.min();
  result.maxs[0] = pool.max();
  pool.compress_into(result);
  return result;
}

// Each channel is first compressed on its own, under the bound of its own
// total, and the channels' centroids are then compressed together; so the
// centroids differ from one merge of all the cells, the total and the
// extremes do not.
template <typename T>
TensorDigest<T> TensorDigest<T>::merge_channels(std::span<const std::uint64_t> channel_indices) {
  const std::uint64_t plane = plane_size(shape, numel);

  Pool<T> channels;
  Pool<T> cells;
  // Each channel compressed on its own, as a one-cell digest of the same
  // compression holds it; made at the first channel (after its flush) and
  // reused for the others.
  std::optional<TensorDigest> channel;
  for (std::uint64_t k : channel_indices) {
    flush();  // a channel merge reads flushed cells, even a failing one
    if (!channel) channel.emplace(TensorDigest(kOneCellShape, compression));
    std::uint64_t end = 0;
    if (!channel_end(k, plane, numel, end)) {
      throw EngineError("merge_channels: channel index " + std::to_string(k) +
                        " is out of range for " + std::to_string(numel / plane) +
                        " channels of " + std::to_string(plane) + " cells");
    }
    cells.clear();
    for (std::uint64_t i = end - plane; i < end; ++i) cells.add_cell(*this, i);

    channel->n_centroids[0] = 0;
    channel->total_weights[0] = 0;
    cells.compress_into(*channel);
    for (std::uint64_t s = 0; s < channel->n_centroids[0]; ++s) {
      channels.add_centroid(channel->centroids_means[s], channel->centroids_weights[s]);
    }
    channels.add_extremes(cells.min(), cells.max());
  }

  TensorDigest result(kOneCellShape, compression);
  if (channels.empty()) return result;
  result.mins[0] = channels.min();
  result.maxs[0] = channels.max();
  channels.compress_into(result);
  return result;
}

template <typename T>
TensorDigest<T> TensorDigest<T>::merge_all() {
  flush();
  const std::uint64_t plane = plane_size(shape, numel);
  // A plane without cells leaves no channel to count: the result is empty.
  if (plane == 0) return TensorDigest(kOneCellShape, compression);
  std::vector<std::uint64_t> every_channel(numel / plane);
  std::iota(every_channel.begin(), every_channel.end(), std::uint64_t{0});
  return merge_channels(every_channel);
}

template <typename T>
TensorDigest<T> TensorDigest<T>::without_zeros() {
  flush();
  TensorDigest result(shape, compression);
  for (std::uint64_t j = 0; j < numel; ++j) {
    const std::uint64_t from = j * max_centroids;
    const std::uint64_t to = j * result.max_centroids;
    std::uint64_t kept = 0;
    std::uint32_t total = 0;
    float kept_min = std::numeric_limits<float>::infinity();
    float kept_max = -std::numeric_limits<float>::infinity();
    for (std::uint64_t k = 0; k < n_centroids[j]; ++k) {
      const float mean = centroids_means[from + k];
      if (std::fabs(mean) <= kZeroEpsilon) continue;  // NaN is kept
      const std::uint32_t weight = centroids_weights[from + k];
      result.centroids_means[to + kept] = mean;
      result.centroids_weights[to + kept] = weight;
      ++kept;
      total += weight;  // wraps modulo 2^32 like every total
      if (mean < kept_min) kept_min = mean;
      if (mean > kept_max) kept_max = mean;
    }
    result.n_centroids[j] = kept;
    result.total_weights[j] = total;
    if (kept == 0) {
      result.mins[j] = T{0};
      result.maxs[j] = T{0};
    } else {
      result.mins[j] = extreme_without_zeros(mins[j], kept_min);
      result.maxs[j] = extreme_without_zeros(maxs[j], kept_max);
    }
  }
  return result;
}

#define TESRAK_INSTANTIATE(T)                                                               \
  template TensorDigest<T> TensorDigest<T>::merge_cells(std::span<const std::uint64_t>);    \
  template TensorDigest<T> TensorDigest<T>::merge_channels(std::span<const std::uint64_t>); \
  template TensorDigest<T> TensorDigest<T>::merge_all();                                    \
  template TensorDigest<T> TensorDigest<T>::without_zeros();
TESRAK_INSTANTIATE(float)
TESRAK_INSTANTIATE(std::int32_t)
#undef TESRAK_INSTANTIATE

}  // namespace tesrak
