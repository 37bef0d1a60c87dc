#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

#include "support/decimal.hpp"

namespace tesrak::server {

// A TCP port number: an optional "+" then decimal digits worth at most
// 65535 (leading zeros allowed); else nothing.
inline std::optional<std::uint16_t> parse_port(std::string_view text) noexcept {
  const std::optional<std::uint64_t> port = detail::parse_unsigned_decimal(text);
  if (!port || *port > std::numeric_limits<std::uint16_t>::max()) return std::nullopt;
  return static_cast<std::uint16_t>(*port);
}

// Decimal or inf/infinity/nan float text with an optional sign, rounded to
// the nearest float (overflowing to infinity); nothing for any other text.
std::optional<float> parse_float_text(std::string_view text);

}  // namespace tesrak::server
