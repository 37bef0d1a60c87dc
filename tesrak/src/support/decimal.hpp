#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tesrak::detail {

// '0' to '9' only: no locale's other digits count.
inline bool is_decimal_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// Appends one decimal digit to `value`; false when the result leaves 64 bits.
inline bool append_decimal_digit(std::uint64_t& value, char digit) noexcept {
  return !__builtin_mul_overflow(value, 10u, &value) &&
         !__builtin_add_overflow(value, static_cast<std::uint64_t>(digit - '0'), &value);
}

// An optional "+" then decimal digits worth at most 2^64 - 1; else nothing
// (no blanks, no sign but the "+").
std::optional<std::uint64_t> parse_unsigned_decimal(std::string_view text) noexcept;

}  // namespace tesrak::detail
