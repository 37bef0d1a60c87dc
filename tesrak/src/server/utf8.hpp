#pragma once

#include <string_view>

namespace tesrak::server {

// True when `bytes` is well-formed UTF-8: shortest forms only, no surrogate
// halves, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view bytes) noexcept;

}  // namespace tesrak::server
