#include "server/query.hpp"

#include <locale.h>
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <string>

#include "server/ascii.hpp"
#include "server/utf8.hpp"

namespace tesrak::server {
namespace {

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Appends one decimal digit to `value`; false when the result leaves 64 bits.
bool append_digit(std::uint64_t& value, char digit) noexcept {
  return !__builtin_mul_overflow(value, 10u, &value) &&
         !__builtin_add_overflow(value, static_cast<std::uint64_t>(digit - '0'), &value);
}

// Digits with at most one point and at least one digit, then an optional
// exponent: "e" or "E", an optional sign, and at least one digit.
bool is_decimal_float_text(std::string_view text) noexcept {
  std::size_t i = 0;
  std::size_t digits = 0;
  bool seen_point = false;
  for (; i < text.size(); ++i) {
    if (is_digit(text[i])) {
      ++digits;
    } else if (text[i] == '.' && !seen_point) {
      seen_point = true;
    } else {
      break;
    }
  }
  if (digits == 0) return false;
  if (i == text.size()) return true;
  if (text[i] != 'e' && text[i] != 'E') return false;
  ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  if (i == text.size()) return false;
  return std::all_of(text.begin() + static_cast<std::ptrdiff_t>(i), text.end(), is_digit);
}

bool is_float_word(std::string_view text) noexcept {
  return equals_ignoring_ascii_case(text, "inf") || equals_ignoring_ascii_case(text, "infinity") ||
         equals_ignoring_ascii_case(text, "nan");
}

// The "C" locale, so that a host program's locale cannot change the point.
locale_t c_locale() {
  static const locale_t locale = newlocale(LC_ALL_MASK, "C", locale_t{});
  return locale;
}

}  // namespace

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

std::optional<std::uint64_t> parse_unsigned(std::string_view text) noexcept {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (!is_digit(c) || !append_digit(value, c)) return std::nullopt;
  }
  return value;
}

std::uint64_t parse_unsigned_param(const QueryMap& query, std::string_view key) {
  const auto found = query.find(key);
  if (found == query.end()) return 0;
  return parse_unsigned(found->second).value_or(0);
}

std::optional<float> parse_float_text(std::string_view text) {
  std::string_view unsigned_part = text;
  if (!unsigned_part.empty() && (unsigned_part.front() == '+' || unsigned_part.front() == '-')) {
    unsigned_part.remove_prefix(1);
  }
  if (!is_decimal_float_text(unsigned_part) && !is_float_word(unsigned_part)) return std::nullopt;
  // The text is validated, so strtof reads all of it; it rounds correctly,
  // overflows to infinity and underflows to zero.
  const std::string terminated(text);
  return strtof_l(terminated.c_str(), nullptr, c_locale());
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

std::vector<std::uint64_t> parse_json_indices(std::string_view body) {
  return *parse_json_indices_up_to(body, UINT64_MAX);
}

std::optional<std::vector<std::uint64_t>> parse_json_indices_up_to(std::string_view body,
                                                                   std::uint64_t limit) {
  std::vector<std::uint64_t> indices;
  if (!is_valid_utf8(body)) return indices;
  std::size_t i = 0;
  while (i < body.size()) {
    if (!is_digit(body[i])) {
      ++i;
      continue;
    }
    std::uint64_t value = 0;
    bool fits = true;
    for (; i < body.size() && is_digit(body[i]); ++i) {
      fits = fits && append_digit(value, body[i]);
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
