#include "server/query.hpp"

#include <algorithm>
#include <array>

#include "support/decimal.hpp"
#include "server/numbers.hpp"
#include "server/utf8.hpp"

namespace tesrak::server {

QueryMap parse_query(std::string_view query) {
  QueryMap map;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = std::min(query.find('&', start), query.size());
    const std::string_view piece = query.substr(start, end - start);
    const std::size_t equals = piece.find('=');
    if (equals != std::string_view::npos) {
      map.insert_or_assign(piece.substr(0, equals), piece.substr(equals + 1));
    }
    if (end == query.size()) break;
    start = end + 1;
  }
  return map;
}

std::uint64_t parse_unsigned_param(const QueryMap& query, std::string_view key) {
  const auto found = query.find(key);
  if (found == query.end()) return 0;
  return detail::parse_unsigned_decimal(found->second).value_or(0);
}

QuantileWindow parse_quantile_window(const QueryMap& query) {
  const auto read = [&query](std::string_view key, float fallback) {
    const auto found = query.find(key);
    if (found == query.end()) return fallback;
    return parse_float_text(found->second).value_or(fallback);
  };
  // Two comparisons each: NaN and -0 pass through unchanged.
  const auto clamp = [](float q) {
    if (q < 0.0f) q = 0.0f;
    if (q > 1.0f) q = 1.0f;
    return q;
  };
  const float q0 = clamp(read("q0", 0.0f));
  const float q1 = clamp(read("q1", 1.0f));
  if (q1 > q0) return {q0, q1};
  return {};
}

bool parse_bool_flag(const QueryMap& query, std::string_view key) {
  static constexpr std::array<std::string_view, 4> kTrueWords = {"1", "true", "yes", "on"};
  const auto found = query.find(key);
  if (found == query.end()) return false;
  return std::find(kTrueWords.begin(), kTrueWords.end(), found->second) != kTrueWords.end();
}

std::optional<std::vector<std::uint64_t>> parse_json_indices_up_to(std::string_view body,
                                                                   std::uint64_t limit) {
  std::vector<std::uint64_t> indices;
  if (!is_valid_utf8(body)) return indices;
  std::size_t i = 0;
  while (i < body.size()) {
    if (!detail::is_decimal_digit(body[i])) {
      ++i;
      continue;
    }
    std::uint64_t value = 0;
    bool fits = true;
    for (; i < body.size() && detail::is_decimal_digit(body[i]); ++i) {
      fits = fits && detail::append_decimal_digit(value, body[i]);
    }
    if (!fits) continue;
    if (indices.size() == limit) return std::nullopt;
    indices.push_back(value);
  }
  return indices;
}

std::uint64_t channel_idx(std::span<const std::uint64_t> shape, std::uint64_t b, std::uint64_t c) {
  constexpr std::size_t kChannelDims = 3;
  if (shape.size() < kChannelDims) return 0;
  if (shape.size() == kChannelDims) return c;
  return c + shape[1] * b;  // unsigned: wraps modulo 2^64
}

}  // namespace tesrak::server
