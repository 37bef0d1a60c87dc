#pragma once

#include <algorithm>
#include <string_view>

namespace tesrak::server {

// Whether `a` and `b` are the same text when ASCII letters are compared
// regardless of case (as HTTP compares field names, schemes and host names).
inline bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) noexcept {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [&lower](char x, char y) { return lower(x) == lower(y); });
}

// Whether `c` is an ASCII control byte: one below the space, or DEL.
inline bool is_ascii_control(char c) noexcept {
  constexpr unsigned char kDelete = 0x7F;
  const auto byte = static_cast<unsigned char>(c);
  return byte < ' ' || byte == kDelete;
}

}  // namespace tesrak::server
