#pragma once

#include <cstdint>
#include <optional>

namespace tesrak::detail {

// The list sizes that a digest's cell count and compression fix, and the
// memory they take: what the constructor allocates and what the snapshot
// reader expects to find.
struct DigestLayout {
  std::uint64_t numel;
  std::uint64_t buffer_capacity;  // 2 x compression
  std::uint64_t max_centroids;    // 6 x compression + 10
  std::uint64_t row_entries;      // numel x buffer_capacity
  std::uint64_t slot_entries;     // numel x max_centroids

  // None when a size leaves 64 bits.
  static std::optional<DigestLayout> of(std::uint64_t numel, std::uint64_t compression) noexcept {
    DigestLayout l{numel, 0, 0, 0, 0};
    if (__builtin_mul_overflow(compression, 2, &l.buffer_capacity) ||
        __builtin_mul_overflow(compression, 6, &l.max_centroids) ||
        __builtin_add_overflow(l.max_centroids, 10, &l.max_centroids) ||
        __builtin_mul_overflow(numel, l.buffer_capacity, &l.row_entries) ||
        __builtin_mul_overflow(numel, l.max_centroids, &l.slot_entries)) {
      return std::nullopt;
    }
    return l;
  }

  // The bytes of every list of a digest with `dims` shape entries and
  // 4-byte elements, saturating at 2^64 - 1.
  std::uint64_t bytes(std::uint64_t dims) const noexcept {
    std::uint64_t total = 0;
    // entries and their width: shape, row_buffer, means and weights,
    // n_centroids, total_weights, mins and maxs
    const std::uint64_t parts[][2] = {{dims, 8},        {row_entries, 4}, {slot_entries, 8},
                                      {numel, 8},       {numel, 4},       {numel, 8}};
    for (const auto& [entries, width] : parts) {
      std::uint64_t part;
      if (__builtin_mul_overflow(entries, width, &part) || __builtin_add_overflow(total, part, &total)) {
        return UINT64_MAX;
      }
    }
    return total;
  }
};

}  // namespace tesrak::detail
