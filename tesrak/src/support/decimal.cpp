#include "support/decimal.hpp"

namespace tesrak::detail {

std::optional<std::uint64_t> parse_unsigned_decimal(std::string_view text) noexcept {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (!is_decimal_digit(c) || !append_decimal_digit(value, c)) return std::nullopt;
  }
  return value;
}

}  // namespace tesrak::detail
