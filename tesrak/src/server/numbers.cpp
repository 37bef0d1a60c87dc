#include "server/numbers.hpp"

#include <locale.h>
#include <stdlib.h>

#include <algorithm>
#include <string>

#include "support/decimal.hpp"
#include "server/ascii.hpp"

namespace tesrak::server {
namespace {

using detail::is_decimal_digit;

// Digits with at most one point and at least one digit, then an optional
// exponent: "e" or "E", an optional sign, and at least one digit.
bool is_decimal_float_text(std::string_view text) noexcept {
  std::size_t i = 0;
  std::size_t digits = 0;
  bool seen_point = false;
  for (; i < text.size(); ++i) {
    if (is_decimal_digit(text[i])) {
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
  return std::all_of(text.begin() + static_cast<std::ptrdiff_t>(i), text.end(), is_decimal_digit);
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

}  // namespace tesrak::server
