#include "server/utf8.hpp"

#include <cstddef>
#include <cstdint>

namespace tesrak::server {
namespace {

constexpr std::uint8_t kContinuationMask = 0xC0;
constexpr std::uint8_t kContinuationTag = 0x80;

bool is_continuation(std::uint8_t byte) noexcept {
  return (byte & kContinuationMask) == kContinuationTag;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) noexcept {
  const auto* s = reinterpret_cast<const std::uint8_t*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    const std::uint8_t lead = s[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    // The allowed range of the second byte narrows for the leads whose
    // sequences could otherwise be overlong, a surrogate, or past U+10FFFF.
    std::size_t length;
    std::uint8_t second_low = 0x80;
    std::uint8_t second_high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) second_low = 0xA0;
      if (lead == 0xED) second_high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) second_low = 0x90;
      if (lead == 0xF4) second_high = 0x8F;
    } else {
      return false;
    }
    if (n - i < length) return false;
    if (s[i + 1] < second_low || s[i + 1] > second_high) return false;
    for (std::size_t k = 2; k < length; ++k) {
      if (!is_continuation(s[i + k])) return false;
    }
    i += length;
  }
  return true;
}

}  // namespace tesrak::server
