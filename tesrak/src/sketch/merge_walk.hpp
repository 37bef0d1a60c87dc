#pragma once

#include <cmath>
#include <cstdint>
#include <span>
#include <string>

#include "tesrak/errors.hpp"

namespace tesrak::detail {

// An item for the merge walk: a value (weight 1) or a centroid.
struct WalkItem {
  float mean;
  std::uint64_t weight;
};

// The t-digest merge rule for one cell: items arrive in ascending order of
// mean and are either merged into the current centroid or start a new one,
// under the size bound. Shared by the flush and compress; the flush adds the
// eight-value step for its tail of new values.
//
// Emitted centroids go to caller-owned output slots; their count keeps
// growing past the slots so that an overfull cell can report how many it
// needed without anything having been written to the cell itself.
class MergeWalk {
 public:
  // `merged_weight` is N: the cell's total after the merge.
  MergeWalk(std::uint64_t compression, std::uint64_t merged_weight, std::span<float> out_means,
            std::span<std::uint32_t> out_weights) noexcept
      : out_means_(out_means), out_weights_(out_weights), n_(static_cast<double>(merged_weight)) {
    if (merged_weight >= 2) {
      normalizer_ = static_cast<double>(compression) / ((n_ * 6.283185307179586) * std::log(n_));
    }
    update_left_bound();
  }

  // Takes one item: a value (weight 1) or a centroid.
  void add(float mean, std::uint64_t weight) noexcept {
    if (weight_ == 0) {
      mean_ = mean;
      weight_ = weight;
      return;
    }
    const std::uint64_t p = weight_ + weight;
    if (fits(p)) {
      const float ratio = static_cast<float>(static_cast<double>(weight) / static_cast<double>(p));
      float merged = mean_ + (mean - mean_) * ratio;
      if (!std::isfinite(merged)) merged = merged_mean_slow(mean, ratio, merged);
      mean_ = merged;
      weight_ = p;
    } else {
      emit();
      mean_ = mean;
      weight_ = weight;
    }
  }

  // Takes a cell's existing centroids and the incoming items (ascending by
  // mean, each side) in one ascending order until the existing ones run out.
  // On equal means the existing centroid goes first, and a NaN on either
  // side lets the incoming item go first. `incoming(j)` gives the j-th
  // incoming item. Returns how many incoming items were taken: the rest
  // come after every existing centroid, and the caller adds them.
  template <typename Incoming>
  std::uint64_t add_with_existing(const float* means, const std::uint32_t* weights,
                                  std::uint64_t n_existing, std::uint64_t n_incoming,
                                  Incoming incoming) noexcept {
    std::uint64_t e = 0;
    std::uint64_t i = 0;
    while (e < n_existing && i < n_incoming) {
      const WalkItem item = incoming(i);
      if (means[e] <= item.mean) {
        add(means[e], weights[e]);
        ++e;
      } else {
        add(item.mean, item.weight);
        ++i;
      }
    }
    for (; e < n_existing; ++e) add(means[e], weights[e]);
    return i;
  }

  // Merges the eight values e[0..7] (already 32-bit floats) into the current
  // centroid at once if the bound allows the weight after all eight; the
  // seven weights in between are not tested. Returns false, changing
  // nothing, when there is no current centroid or the test fails.
  bool add_eight(const float* e) noexcept {
    if (weight_ == 0) return false;
    const std::uint64_t p = weight_ + 8;
    if (!fits(p)) return false;
    const float s = ((e[0] + e[1]) + e[2]) + e[3];
    const float t = ((e[4] + e[5]) + e[6]) + e[7];
    const float sum = s + t;
    const float p32 = static_cast<float>(p);
    float merged = mean_ + ((sum + mean_ * -8.0f) / p32);
    if (!std::isfinite(merged)) merged = merged_eight_slow(e, p, merged);
    mean_ = merged;
    weight_ = p;
    return true;
  }

  // Emits the centroid in hand, if any. Call once, after the last item.
  void finish() noexcept {
    if (weight_ > 0) emit();
    weight_ = 0;
  }

  // Centroids emitted so far, including those beyond the output slots.
  std::uint64_t count() const noexcept { return count_; }

  // Throws the capacity error when the walk emitted more centroids than the
  // cell has slots.
  void check_capacity(std::uint64_t max_centroids) const {
    if (count_ > max_centroids) throw CapacityError(capacity_message(count_, max_centroids));
  }

  static std::string capacity_message(std::uint64_t count, std::uint64_t max_centroids) {
    return "compress: centroid count " + std::to_string(count) + " exceeds max_centroids " +
           std::to_string(max_centroids) + "; increase compression or max_centroids headroom";
  }

 private:
  // Both ends of the merged centroid must stay within the size bound
  // q(1 - q) x normalizer. A NaN on either side counts as failure.
  bool fits(std::uint64_t p) const noexcept {
    const double x = normalizer_ * static_cast<double>(p);
    const double qr = static_cast<double>(emitted_weight_ + p) / n_;
    return x <= left_bound_ && x <= qr * (1.0 - qr);
  }

  void emit() noexcept {
    if (count_ < out_means_.size()) {
      out_means_[count_] = mean_;
      out_weights_[count_] = static_cast<std::uint32_t>(weight_);
    }
    ++count_;
    emitted_weight_ += weight_;
    update_left_bound();
  }

  // The left fraction's bound depends on W only, so it is worked out once per
  // emitted centroid rather than once per item.
  void update_left_bound() noexcept {
    const double ql = static_cast<double>(emitted_weight_) / n_;
    left_bound_ = ql * (1.0 - ql);
  }

  // The 32-bit formula overflowed or met an infinity. A centroid holding an
  // infinity keeps it, an infinite value makes the centroid infinite, and a
  // merge of finite values (whose mean is finite) is redone in 64 bits.
  // None of this changes a result that the 32-bit formula got finite.
  float merged_mean_slow(float mean, float ratio, float merged) const noexcept {
    if (std::isnan(mean_) || std::isnan(mean)) return merged;
    if (std::isinf(mean_)) return mean_;
    if (std::isinf(mean)) return mean;
    const double wide = static_cast<double>(mean_) +
                        (static_cast<double>(mean) - static_cast<double>(mean_)) * ratio;
    return static_cast<float>(wide);
  }

  float merged_eight_slow(const float* e, std::uint64_t p, float merged) const noexcept {
    if (std::isinf(mean_)) return mean_;
    double sum = 0.0;
    for (int k = 0; k < 8; ++k) sum += e[k];
    const double wide =
        static_cast<double>(mean_) + (sum - 8.0 * static_cast<double>(mean_)) / static_cast<double>(p);
    if (std::isnan(wide)) {
      // Both infinities among the eight (or a NaN mean): keep what the
      // 32-bit step gave unless that is NaN too.
      return std::isnan(merged) ? mean_ : merged;
    }
    return static_cast<float>(wide);
  }

  std::span<float> out_means_;
  std::span<std::uint32_t> out_weights_;
  double n_;
  double normalizer_ = 0.0;
  float mean_ = 0.0f;
  std::uint64_t weight_ = 0;          // 0: no current centroid
  std::uint64_t emitted_weight_ = 0;  // W
  double left_bound_ = 0.0;          // ql(1 - ql), ql = W / N
  std::uint64_t count_ = 0;
};

}  // namespace tesrak::detail
